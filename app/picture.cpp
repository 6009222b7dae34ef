#include "app/picture.h"

#include <QLabel>
#include <QPainter>

#include "platform/ui/wnd_widget.h"

CPicture::CPicture() {
  OnMessage(WM_PAINT, [this](WPARAM, LPARAM) {
    OnPaint();
    return 0;
  });
  OnMessage(WM_SETCURSOR, [](WPARAM, LPARAM) -> LRESULT {
    SetCursor(LoadCursor(nullptr, IDC_HAND));
    return TRUE;
  });
  OnMessage(WM_LBUTTONDOWN, [this](WPARAM, LPARAM) {
    OnLButtonDown();
    return 0;
  });
}

CPicture::~CPicture() { DestroyWindow(); }

void CPicture::SetBitmap(HBITMAP bitmap) {
  m_bitmap = bitmap;
  Invalidate();
}

void CPicture::OnPaint() {
  CPaintDC dc(this);
  if (!dc.valid()) return;
  QPainter& p = dc.painter();
  RECT client;
  GetClientRect(&client);
  QRect area(0, 0, client.right, client.bottom);
  QPixmap image = tarn::ui::BitmapFromHandle(m_bitmap);
  p.setRenderHint(QPainter::SmoothPixmapTransform, true);
  if (!image.isNull()) p.drawPixmap(m_pressed ? area.translated(1, 1) : area, image);
  if (m_pressed) {
    // A pushed push-button frame: shadow top and left, light bottom and right.
    p.setPen(tarn::ui::ToQColor(GetSysColor(COLOR_BTNSHADOW)));
    p.drawLine(area.topLeft(), area.topRight());
    p.drawLine(area.topLeft(), area.bottomLeft());
    p.setPen(tarn::ui::ToQColor(GetSysColor(COLOR_BTNHIGHLIGHT)));
    p.drawLine(area.bottomLeft(), area.bottomRight());
    p.drawLine(area.topRight(), area.bottomRight());
  }
}

void CPicture::OnLButtonDown() {
  m_pressed = true;
  UpdateWindow();
  m_pressed = false;
  Invalidate();
  // A notifying static tells its parent on the press.
  if (CWnd* parent = GetParent())
    parent->PostMessage(WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(), STN_CLICKED), reinterpret_cast<LPARAM>(m_hWnd));
}
