#include "platform/ui/gdi.h"

#include <QFontMetrics>
#include <QPainter>
#include <map>

DWORD GetSysColor(int index) {
  switch (index) {
    case COLOR_WINDOW: return RGB(255, 255, 255);
    case COLOR_WINDOWTEXT: return RGB(0, 0, 0);
    case COLOR_HIGHLIGHT: return RGB(51, 102, 204);
    case COLOR_HIGHLIGHTTEXT: return RGB(255, 255, 255);
    case COLOR_BTNFACE: return RGB(236, 233, 216);
    case COLOR_BTNSHADOW: return RGB(172, 168, 153);
    case COLOR_GRAYTEXT: return RGB(141, 141, 141);
    case COLOR_BTNTEXT: return RGB(0, 0, 0);
    case COLOR_BTNHIGHLIGHT: return RGB(255, 255, 255);
    default: return RGB(0, 0, 0);
  }
}

int GetSystemMetrics(int index) {
  switch (index) {
    case SM_CXVSCROLL:
    case SM_CXHTHUMB: return 16;
    case SM_CYCAPTION: return 24;
    case SM_CYMENU: return 20;
    case SM_CXICON:
    case SM_CYICON: return 32;
    case SM_CXSMICON:
    case SM_CYSMICON: return 16;
    default: return 0;
  }
}

BOOL IsAppThemed() { return FALSE; }

namespace {
std::map<UINT, QPixmap>& Bitmaps() {
  static std::map<UINT, QPixmap> cache;
  return cache;
}
std::map<UINT, QIcon>& Icons() {
  static std::map<UINT, QIcon> cache;
  return cache;
}
QString ResourcePath(UINT id) { return QStringLiteral(":/res/%1.png").arg(id); }
}  // namespace

HBITMAP LoadBitmap(UINT id) {
  auto& cache = Bitmaps();
  if (!cache.count(id)) {
    QPixmap pixmap(ResourcePath(id));
    if (pixmap.isNull()) return nullptr;
    cache[id] = pixmap;
  }
  return reinterpret_cast<HBITMAP>(static_cast<uintptr_t>(id));
}

HICON LoadIcon(UINT id) {
  auto& cache = Icons();
  if (!cache.count(id)) {
    QPixmap pixmap(ResourcePath(id));
    if (pixmap.isNull()) return nullptr;
    cache[id] = QIcon(pixmap);
  }
  return reinterpret_cast<HICON>(static_cast<uintptr_t>(id));
}

namespace tarn::ui {

QColor ToQColor(COLORREF c) { return QColor(GetRValue(c), GetGValue(c), GetBValue(c)); }
COLORREF FromQColor(const QColor& c) { return RGB(c.red(), c.green(), c.blue()); }

QPixmap BitmapFromHandle(HBITMAP bitmap) {
  auto it = Bitmaps().find(static_cast<UINT>(reinterpret_cast<uintptr_t>(bitmap)));
  return it == Bitmaps().end() ? QPixmap() : it->second;
}

QIcon IconFromHandle(HICON icon) {
  auto it = Icons().find(static_cast<UINT>(reinterpret_cast<uintptr_t>(icon)));
  return it == Icons().end() ? QIcon() : it->second;
}

QFont DialogFont(const std::string&, int pointSize) {
  // The Windows dialog faces are not here; a sans face of the same pixel
  // height keeps the dialog-unit layout in proportion.
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(MulDiv(pointSize, 96, 72));
  return font;
}

QFont SystemFont(bool bold) {
  QFont font = DialogFont("MS Shell Dlg", 8);
  font.setBold(bold);
  return font;
}

}  // namespace tarn::ui

BOOL CImageList::Create(int cx, int cy, UINT, int initial, int) {
  m_cx = cx;
  m_cy = cy;
  m_images.clear();
  m_images.reserve(static_cast<size_t>(initial > 0 ? initial : 0));
  return TRUE;
}

int CImageList::Add(HICON icon) {
  QIcon qicon = tarn::ui::IconFromHandle(icon);
  QPixmap pixmap = qicon.isNull() ? QPixmap() : qicon.pixmap(m_cx, m_cy);
  if (pixmap.isNull()) {
    // A missing icon still takes its index, so later indexes stay right.
    pixmap = QPixmap(m_cx, m_cy);
    pixmap.fill(Qt::transparent);
  }
  m_images.push_back(pixmap.scaled(m_cx, m_cy, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
  return static_cast<int>(m_images.size()) - 1;
}

BOOL CImageList::Draw(QPainter& painter, int index, int x, int y, bool blend50) const {
  if (index < 0 || index >= GetImageCount()) return FALSE;
  const QPixmap& image = m_images[static_cast<size_t>(index)];
  if (!blend50) {
    painter.drawPixmap(x, y, image);
    return TRUE;
  }
  QPixmap mixed(image.size());
  mixed.fill(Qt::transparent);
  {
    QPainter p(&mixed);
    p.drawPixmap(0, 0, image);
    p.setCompositionMode(QPainter::CompositionMode_SourceAtop);
    QColor highlight = tarn::ui::ToQColor(GetSysColor(COLOR_HIGHLIGHT));
    highlight.setAlphaF(0.5);
    p.fillRect(mixed.rect(), highlight);
  }
  painter.drawPixmap(x, y, mixed);
  return TRUE;
}
