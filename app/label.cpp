#include "app/label.h"

#include <QPainter>
#include <cstring>

#include "app/resource.h"

using tarn::ui::ToQColor;

CLabel::CLabel() : m_textColour(GetSysColor(COLOR_WINDOWTEXT)), m_buttonFace(GetSysColor(COLOR_BTNFACE)) {
  m_logFont.lfHeight = -MulDiv(8, 96, 72);
  OnMessage(WM_PAINT, [this](WPARAM, LPARAM) {
    OnPaint();
    return 0;
  });
  OnMessage(WM_ERASEBKGND, [](WPARAM, LPARAM) { return TRUE; });
  OnMessage(WM_TIMER, [this](WPARAM, LPARAM) {
    m_flashState = !m_flashState;
    Redraw();
    return 0;
  });
  OnMessage(WM_SETCURSOR, [this](WPARAM, LPARAM) -> LRESULT {
    if (!m_linkCursor) return FALSE;
    SetCursor(m_linkCursor);
    return TRUE;
  });
  OnMessage(WM_LBUTTONDOWN, [this](WPARAM, LPARAM) {
    OnClick();
    return 0;
  });
  OnMessage(WM_SYSCOLORCHANGE, [this](WPARAM, LPARAM) {
    m_buttonFace = GetSysColor(COLOR_BTNFACE);
    Redraw();
    return 0;
  });
}

CLabel::~CLabel() { DestroyWindow(); }

void CLabel::Redraw() {
  // A transparent label shows its parent through it; Qt repaints the part
  // of the parent under it together with the label.
  UpdateWindow();
}

CLabel& CLabel::SetBkColor(COLORREF colour, COLORREF endColour, BOOL gradient) {
  m_gradientStart = colour;
  m_gradientEnd = endColour;
  m_gradient = gradient != FALSE;
  if (!m_gradient) {
    m_hasBkColour = true;
    m_bkColour = colour;
  }
  Redraw();
  return *this;
}

CLabel& CLabel::SetTextColor(COLORREF colour) {
  m_textColour = colour;
  Redraw();
  return *this;
}

CLabel& CLabel::SetText(const std::string& text) {
  SetWindowText(text);
  Redraw();
  return *this;
}

CLabel& CLabel::SetFontBold(BOOL bold) {
  m_logFont.lfWeight = bold ? 700 : 400;
  Redraw();
  return *this;
}

CLabel& CLabel::SetFontName(const std::string& face, BYTE charSet) {
  std::strncpy(m_logFont.lfFaceName, face.c_str(), sizeof(m_logFont.lfFaceName) - 1);
  m_logFont.lfFaceName[sizeof(m_logFont.lfFaceName) - 1] = '\0';
  m_logFont.lfCharSet = charSet;
  Redraw();
  return *this;
}

CLabel& CLabel::SetFontUnderline(BOOL underline) {
  m_logFont.lfUnderline = underline ? 1 : 0;
  Redraw();
  return *this;
}

CLabel& CLabel::SetFontItalic(BOOL italic) {
  m_logFont.lfItalic = italic ? 1 : 0;
  Redraw();
  return *this;
}

CLabel& CLabel::SetFontSize(int points) {
  m_logFont.lfHeight = -MulDiv(points, 96, 72);
  m_logFont.lfWidth = 0;
  Redraw();
  return *this;
}

CLabel& CLabel::SetSunken(BOOL sunken) {
  if (sunken)
    ModifyStyleEx(0, WS_EX_STATICEDGE);
  else
    ModifyStyleEx(WS_EX_STATICEDGE, 0);
  Redraw();
  return *this;
}

CLabel& CLabel::SetBorder(BOOL border) {
  if (border)
    ModifyStyle(0, WS_BORDER);
  else
    ModifyStyle(WS_BORDER, 0);
  Redraw();
  return *this;
}

CLabel& CLabel::SetTransparent(BOOL transparent) {
  m_transparent = transparent != FALSE;
  ModifyStyleEx(0, WS_EX_TRANSPARENT);
  Redraw();
  return *this;
}

CLabel& CLabel::FlashText(BOOL flash) {
  if (m_flashMode != FlashNone) {
    KillTimer(1);
    m_flashMode = FlashNone;
    m_flashState = false;
  }
  if (flash) {
    m_flashMode = FlashModeText;
    SetTimer(1, 500);
  }
  Redraw();
  return *this;
}

CLabel& CLabel::FlashBackground(BOOL flash) {
  if (m_flashMode != FlashNone) {
    KillTimer(1);
    m_flashMode = FlashNone;
    m_flashState = false;
  }
  if (flash) {
    m_flashMode = FlashModeBackground;
    SetTimer(1, 500);
  }
  Redraw();
  return *this;
}

CLabel& CLabel::SetLink(BOOL link, BOOL notifyParent) {
  m_linkKind = link ? LinkHttp : LinkNone;
  m_notify = notifyParent != FALSE;
  if (link)
    ModifyStyle(0, SS_NOTIFY);
  else
    ModifyStyle(SS_NOTIFY, 0);
  Redraw();
  return *this;
}

CLabel& CLabel::SetLinkCursor(HCURSOR cursor) {
  m_linkCursor = cursor;
  Redraw();
  return *this;
}

CLabel& CLabel::SetText3D(BOOL on, BOOL direction) {
  m_text3d = on != FALSE;
  m_3dDirection = direction != FALSE;
  Redraw();
  return *this;
}

CLabel& CLabel::SetRotationAngle(int degrees) {
  m_rotation = degrees * 10;
  m_logFont.lfEscapement = m_logFont.lfOrientation = m_rotation;
  Redraw();
  return *this;
}

CLabel& CLabel::SetHighlightColor(COLORREF colour) {
  m_highlight = colour;
  Redraw();
  return *this;
}

CLabel& CLabel::SetFont(const LOGFONTA& font) {
  m_logFont = font;
  m_rotation = font.lfEscapement;
  Redraw();
  return *this;
}

CLabel& CLabel::SetMailLink(BOOL link, BOOL notifyParent) {
  m_linkKind = link ? LinkMail : LinkNone;
  m_notify = notifyParent != FALSE;
  if (link)
    ModifyStyle(0, SS_NOTIFY);
  else
    ModifyStyle(SS_NOTIFY, 0);
  Redraw();
  return *this;
}

CLabel& CLabel::SetLinkTarget(const std::string& target) {
  m_linkTarget = target;
  Redraw();
  return *this;
}

COLORREF CLabel::EffectiveTextColor() const {
  if (m_flashMode == FlashModeText && !m_flashState) return m_hasBkColour ? m_bkColour : RGB(0, 0, 0);
  return m_textColour;
}

int CLabel::GradientBands(int width) { return width <= 0 ? 0 : std::min(100, width); }

QFont CLabel::MakeFont() const {
  QFont font = tarn::ui::DialogFont(m_logFont.lfFaceName, 8);
  int height = m_logFont.lfHeight < 0 ? -m_logFont.lfHeight : m_logFont.lfHeight;
  if (height > 0) font.setPixelSize(height);
  font.setBold(m_logFont.lfWeight >= 600);
  font.setItalic(m_logFont.lfItalic != 0);
  font.setUnderline(m_logFont.lfUnderline != 0);
  font.setStrikeOut(m_logFont.lfStrikeOut != 0);
  return font;
}

void CLabel::OnPaint() {
  CPaintDC dc(this);
  if (!dc.valid()) return;
  QPainter& p = dc.painter();
  RECT client;
  GetClientRect(&client);
  QRect area(0, 0, client.right, client.bottom);
  QString text = QString::fromStdString(GetWindowText());

  if (!m_transparent) {
    if (m_gradient) {
      int n = GradientBands(area.width());
      int bandWidth = n ? area.width() / n : 0;
      auto channel = [n](int left, int right, int i) {
        // 8.8 fixed point, as the bands step evenly from left to right.
        return ((left << 8) + i * (((right - left) << 8) / n)) >> 8;
      };
      for (int i = 0; i < n; ++i) {
        int x0 = area.left() + i * bandWidth;
        int x1 = i == n - 1 ? area.left() + area.width() : x0 + bandWidth;
        QColor c(channel(GetRValue(m_gradientStart), GetRValue(m_gradientEnd), i),
                 channel(GetGValue(m_gradientStart), GetGValue(m_gradientEnd), i),
                 channel(GetBValue(m_gradientStart), GetBValue(m_gradientEnd), i));
        p.fillRect(QRect(x0, area.top(), x1 - x0, area.height()), c);
      }
    } else {
      p.fillRect(area, ToQColor(m_hasBkColour ? m_bkColour : m_buttonFace));
    }
  }

  p.setFont(MakeFont());
  p.setRenderHint(QPainter::TextAntialiasing, true);
  DWORD type = m_style & SS_TYPEMASK;
  int flags;
  if (m_style & SS_CENTERIMAGE) {
    flags = text.contains("\r\n") ? int(Qt::AlignHCenter) : int(Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine);
  } else if (type == SS_CENTER) {
    flags = Qt::AlignHCenter | Qt::TextWordWrap;
  } else if (type == SS_RIGHT) {
    flags = Qt::AlignRight | Qt::TextWordWrap;
  } else if (type == SS_LEFTNOWORDWRAP) {
    flags = Qt::AlignLeft;
  } else {
    flags = Qt::AlignLeft | Qt::TextWordWrap;
  }
  if (text.contains('\t')) flags |= Qt::TextExpandTabs;
  text.replace("\r\n", "\n");

  p.setPen(ToQColor(EffectiveTextColor()));
  if (m_rotation != 0) {
    p.save();
    p.translate(area.center());
    p.rotate(-m_rotation / 10.0);  // counter-clockwise, as an escapement turns
    p.drawText(QPointF(0, 0), text);
    p.restore();
  } else {
    p.drawText(area, flags, text);
    if (m_text3d) {
      p.setPen(ToQColor(m_highlight));
      p.drawText(area.translated(m_3dDirection ? 1 : -1, m_3dDirection ? 1 : -1), flags, text);
    }
  }

  if (m_style & WS_BORDER) {
    p.setPen(Qt::black);
    p.drawRect(area.adjusted(0, 0, -1, -1));
  }
  if (m_exStyle & WS_EX_STATICEDGE) {
    p.setPen(ToQColor(GetSysColor(COLOR_BTNSHADOW)));
    p.drawLine(area.topLeft(), area.topRight());
    p.drawLine(area.topLeft(), area.bottomLeft());
    p.setPen(ToQColor(GetSysColor(COLOR_BTNHIGHLIGHT)));
    p.drawLine(area.bottomLeft(), area.bottomRight());
    p.drawLine(area.topRight(), area.bottomRight());
  }
}

void CLabel::OnClick() {
  if (m_notify) {
    NMHDR header{m_hWnd, static_cast<UINT_PTR>(GetDlgCtrlID()), NM_LINKCLICK};
    if (CWnd* parent = GetParent()) parent->SendMessage(WM_NOTIFY, GetDlgCtrlID(), reinterpret_cast<LPARAM>(&header));
    return;
  }
  if (m_linkKind == LinkHttp && !m_linkTarget.empty())
    ShellExecuteA(m_hWnd, "open", "Explorer", m_linkTarget.c_str(), nullptr, SW_SHOWNORMAL);
  else if (m_linkKind == LinkMail)
    ShellExecuteA(m_hWnd, "open", ("mailto:" + GetWindowText()).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}
