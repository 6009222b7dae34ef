#include "app/direct_ui.h"

#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>

#include "app/resource.h"
#include "platform/ui/wnd_widget.h"

using tarn::ui::ToQColor;

COLORREF BlendColour(COLORREF colour, double f) {
  if (!(f > 0.0 && f <= 1.0)) return colour;
  auto mix = [f](int channel) { return static_cast<int>(channel + f * (255 - channel)); };
  return RGB(mix(GetRValue(colour)), mix(GetGValue(colour)), mix(GetBValue(colour)));
}

namespace {

int ItemHeight() { return MulDiv(GetSystemMetrics(SM_CYMENU), 9, 8); }
int HeaderHeight() { return GetSystemMetrics(SM_CYCAPTION); }  // unthemed: no 9/8
QRect ToQRect(const RECT& r) { return QRect(r.left, r.top, r.right - r.left, r.bottom - r.top); }

// Two small arrows, 3 pixels apart, centred in box.
void DrawDoubleChevron(QPainter& p, const QRect& box, bool up, const QColor& colour) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setPen(QPen(colour, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  double cx = box.left() + box.width() / 2.0;
  double cy = box.top() + box.height() / 2.0;
  for (int i = 0; i < 2; ++i) {
    double tip = up ? cy - 3.5 + i * 3 : cy + 3.5 - i * 3;
    double base = up ? tip + 3 : tip - 3;
    QPointF pts[3] = {{cx - 3.5, base}, {cx, tip}, {cx + 3.5, base}};
    p.drawPolyline(pts, 3);
  }
  p.restore();
}

}  // namespace

// ----- items -----

HCURSOR CDirectUIItem::GetCursor() const { return LoadCursor(nullptr, IDC_HAND); }

void CDirectUIItem::Click() {
  if (IsDisabled()) return;
  if (CWnd* main = AfxGetMainWnd()) main->PostMessage(WM_COMMAND, m_command, 0);
}

int CDirectUIItem::Enable(BOOL enable) {
  DWORD before = m_flags;
  if (enable)
    m_flags &= ~kDisabled;
  else
    m_flags = (m_flags | kDisabled) & ~kHot;  // a disabled item is never hot
  return before != m_flags ? 1 : 0;
}

int CDirectUIItem::QueryImage(HWND window) const {
  LRESULT answer = ::SendMessage(window, WM_QUERYITEMIMAGE, m_command, 0);
  return answer > 0 ? static_cast<int>(answer) : -1;
}

BOOL CDirectUIItem::HitTest(POINT pt) const { return !IsDisabled() && PtInRect(&m_rect, pt); }

int CDirectUIItem::GetHeight() {
  if (m_height < 0) m_height = ItemHeight();
  return m_height;
}

void CDirectUIItem::Draw(QPainter& p, const RECT& row, int style, const CImageList* images) {
  bool hasIcon = images && m_image >= 0 && m_image < images->GetImageCount();
  int textLeft = style == 2 ? row.left + 20 : row.left + (hasIcon ? 30 : 10);
  QFont font = tarn::ui::SystemFont(false);
  p.setFont(font);
  QFontMetrics metrics(font);
  int available = std::max(0, static_cast<int>(row.right) - 4 - textLeft);
  QString text = metrics.elidedText(QString::fromStdString(m_caption), Qt::ElideRight, available);
  m_elided = text != QString::fromStdString(m_caption);
  int width = metrics.horizontalAdvance(text);
  int height = metrics.height();
  int top = row.top + (row.bottom - row.top - height) / 2;
  m_rect = RECT{textLeft, top, textLeft + width, top + height};
  if (hasIcon && style != 2) m_rect.left -= 20;

  COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT);
  COLORREF colour;
  if (IsDisabled())
    colour = GetSysColor(COLOR_GRAYTEXT);
  else if (style != 2 && IsHot())
    colour = highlight;
  else
    colour = BlendColour(highlight, 0.15);
  p.setPen(ToQColor(colour));
  p.drawText(QRect(textLeft, top, width + 1, height), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
  if (IsHot() && !IsDisabled()) p.drawLine(textLeft, top + height - 1, textLeft + width, top + height - 1);
  if (hasIcon) {
    int iconTop = row.top + (row.bottom - row.top - images->Height()) / 2;
    images->Draw(p, m_image, textLeft - 20, iconTop, style != 2 && IsHot());
  }
}

// ----- groups -----

void CDirectUIGroup::Layout() {
  m_height = HeaderHeight();
  bool collapsed = m_collapsed && *m_style != 2;
  if (!collapsed)
    for (auto& item : m_items) m_height += item->GetHeight();
  m_needsLayout = 0;
}

void CDirectUIGroup::DrawHeader(QPainter& p, const RECT& header) {
  int style = *m_style;
  int h = header.bottom - header.top;
  QFont bold = tarn::ui::SystemFont(true);
  p.setFont(bold);
  QFontMetrics metrics(bold);
  COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT);
  bool collapsed = m_collapsed && style != 2;
  QString caption = QString::fromStdString(m_caption);

  if (style == 2) {
    p.fillRect(ToQRect(header), ToQColor(GetSysColor(COLOR_WINDOW)));
    p.setPen(ToQColor(GetSysColor(COLOR_WINDOWTEXT)));
    QRect text = ToQRect(header);
    p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, metrics.elidedText(caption, Qt::ElideRight, text.width()));
    p.setPen(ToQColor(GetSysColor(COLOR_BTNFACE)));
    p.drawLine(header.left, header.bottom - 1, header.right - 1, header.bottom - 1);
    m_button = RECT{0, 0, 0, 0};
    return;
  }

  if (style == 3) {
    p.fillRect(ToQRect(header), ToQColor(GetSysColor(COLOR_BTNFACE)));
    m_button = RECT{header.right - h - 1, header.top + 2, header.right - 5, header.bottom - 2};
    p.setPen(ToQColor(GetSysColor(COLOR_BTNTEXT)));
    QRect text(header.left + 5, header.top, m_button.left - header.left - 7, h);
    p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, metrics.elidedText(caption, Qt::ElideRight, text.width()));
    QRect button = ToQRect(m_button);
    if (IsHot()) {
      // Raised frame: light top and left, shadow bottom and right.
      p.setPen(ToQColor(GetSysColor(COLOR_BTNHIGHLIGHT)));
      p.drawLine(button.topLeft(), button.topRight());
      p.drawLine(button.topLeft(), button.bottomLeft());
      p.setPen(ToQColor(GetSysColor(COLOR_BTNSHADOW)));
      p.drawLine(button.bottomLeft(), button.bottomRight());
      p.drawLine(button.topRight(), button.bottomRight());
    }
    DrawDoubleChevron(p, button, !collapsed, ToQColor(GetSysColor(COLOR_BTNTEXT)));
    return;
  }

  // Style 4 without visual styles: a highlight-coloured header with round
  // top corners and a round collapse button.
  p.save();
  p.setRenderHint(QPainter::Antialiasing, true);
  QPainterPath path;
  QRectF r(header.left, header.top, header.right - header.left, h);
  const double radius = 5;
  path.moveTo(r.left(), r.bottom());
  path.lineTo(r.left(), r.top() + radius);
  path.arcTo(QRectF(r.left(), r.top(), 2 * radius, 2 * radius), 180, -90);
  path.lineTo(r.right() - radius, r.top());
  path.arcTo(QRectF(r.right() - 2 * radius, r.top(), 2 * radius, 2 * radius), 90, -90);
  path.lineTo(r.right(), r.bottom());
  path.closeSubpath();
  p.fillPath(path, ToQColor(highlight));
  m_button = RECT{header.right - h + 3, header.top + 4, header.right - 5, header.bottom - 4};
  QColor soft = ToQColor(BlendColour(highlight, 0.85));
  p.setPen(QPen(soft, 1.2));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(QRectF(ToQRect(m_button)).adjusted(0.5, 0.5, -0.5, -0.5));
  p.restore();
  DrawDoubleChevron(p, ToQRect(m_button), !collapsed, soft);
  p.setPen(IsHot() ? soft : ToQColor(GetSysColor(COLOR_HIGHLIGHTTEXT)));
  QRect text(header.left + 15, header.top, m_button.left - header.left - 18, h);
  p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, metrics.elidedText(caption, Qt::ElideRight, text.width()));
}

void CDirectUIGroup::Draw(QPainter& p, const RECT& rect) {
  int style = *m_style;
  RECT header{rect.left, rect.top, rect.right, rect.top + HeaderHeight()};
  m_header = header;
  DrawHeader(p, header);
  if (m_collapsed && style != 2) {
    for (auto& item : m_items) item->MouseLeave();
    return;
  }
  RECT body{rect.left, header.bottom, rect.right, rect.bottom};
  if (style == 3) {
    p.setPen(ToQColor(GetSysColor(COLOR_BTNFACE)));
    p.setBrush(ToQColor(GetSysColor(COLOR_WINDOW)));
    p.drawRect(QRect(body.left, body.top - 1, body.right - body.left - 1, body.bottom - body.top));
  } else if (style == 4) {
    COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT);
    p.setPen(ToQColor(highlight));
    p.setBrush(ToQColor(BlendColour(highlight, 0.85)));
    p.drawRect(QRect(body.left, body.top, body.right - body.left - 1, body.bottom - body.top - 1));
  }
  p.setBrush(Qt::NoBrush);
  const CImageList* images = m_images ? *m_images : nullptr;
  int y = body.top;
  for (auto& item : m_items) {
    int h = item->GetHeight();
    item->Draw(p, RECT{rect.left, y, rect.right, y + h}, style, images);
    y += h;
  }
}

// ----- the panel -----

CWndDirectUI::CWndDirectUI() : m_handCursor(LoadCursor(nullptr, IDC_HAND)) {
  m_imageList.Create(16, 16, ILC_COLOR32 | ILC_MASK, 0, 1);
  OnMessage(WM_PAINT, [this](WPARAM, LPARAM) {
    OnPaint();
    return 0;
  });
  OnMessage(WM_ERASEBKGND, [](WPARAM, LPARAM) { return TRUE; });
  OnMessage(WM_SETCURSOR, [this](WPARAM, LPARAM) -> LRESULT { return OnSetCursor(); });
  OnMessage(WM_MOUSEMOVE, [this](WPARAM, LPARAM l) {
    OnMouseMove(POINT{GET_X_LPARAM(l), GET_Y_LPARAM(l)});
    return 0;
  });
  OnMessage(WM_LBUTTONDOWN, [this](WPARAM, LPARAM) {
    OnLButtonDown();
    return 0;
  });
  OnMessage(WM_LBUTTONUP, [this](WPARAM, LPARAM) {
    OnLButtonUp();
    return 0;
  });
  OnMessage(WM_VSCROLL, [this](WPARAM w, LPARAM) {
    OnVScroll(LOWORD(w), static_cast<short>(HIWORD(w)));
    return 0;
  });
  OnMessage(WM_SIZE, [this](WPARAM, LPARAM) {
    PlaceScrollBar();
    return 0;
  });
  OnMessage(WM_THEMECHANGED, [this](WPARAM, LPARAM) {
    Repaint();
    return 0;
  });
}

CWndDirectUI::~CWndDirectUI() { DestroyWindow(); }

QWidget* CWndDirectUI::CreateOwnWidget(QWidget* parent) {
  auto* widget = new tarn::ui::WndWidget(this, parent);
  m_scrollBar = new QScrollBar(Qt::Vertical, widget);
  m_scrollBar->hide();
  HWND* self = &m_hWnd;
  QObject::connect(m_scrollBar, &QScrollBar::valueChanged, [this, self](int value) {
    if (!m_settingScroll && *self) SendMessage(WM_VSCROLL, MAKEWPARAM(SB_THUMBPOSITION, value), 0);
  });
  return widget;
}

BOOL CWndDirectUI::Create(const RECT& rect, CWnd* parent, UINT id) {
  return CreateEx(0, WS_CHILD | WS_VISIBLE, rect, parent, id);
}

void CWndDirectUI::Repaint() { Invalidate(); }

void CWndDirectUI::SetStyle(int style) {
  m_panelStyle = style;
  for (auto& group : m_groups) {
    if (style == 2) {
      if (group->IsCollapsed()) {
        group->SetCollapsed(false);
        group->MarkForLayout();
      }
    } else {
      group->MarkForLayout();
    }
  }
  if (style == 2 && m_hotGroup) {
    m_hotGroup->SetHot(false);
    m_hotGroup = nullptr;
  }
  Repaint();
}

void CWndDirectUI::RemoveAll() {
  m_groups.clear();
  m_hotItem = nullptr;
  m_hotGroup = nullptr;
  Repaint();
}

int CWndDirectUI::AddGroup(const std::string& caption) {
  m_groups.push_back(std::make_unique<CDirectUIGroup>(caption, &m_imageListRef, &m_panelStyle));
  Repaint();
  return static_cast<int>(m_groups.size()) - 1;
}

BOOL CWndDirectUI::RemoveGroup(int index) {
  CDirectUIGroup* group = GetGroup(index);
  if (!group) return FALSE;
  // Hot references into the group go with it.
  if (m_hotGroup == group) m_hotGroup = nullptr;
  for (auto& item : group->Items())
    if (m_hotItem == item.get()) m_hotItem = nullptr;
  m_groups.erase(m_groups.begin() + index);
  Repaint();
  return TRUE;
}

BOOL CWndDirectUI::AddItem(int groupIndex, const std::string& caption, UINT command) {
  CDirectUIGroup* group = GetGroup(groupIndex);
  if (!group) return FALSE;
  group->Items().push_back(std::make_unique<CDirectUIItem>(caption, command));
  group->MarkForLayout();
  Repaint();
  return TRUE;
}

BOOL CWndDirectUI::SetItemImage(int groupIndex, int itemIndex, int image) {
  CDirectUIGroup* group = GetGroup(groupIndex);
  if (!group || itemIndex < 0 || itemIndex >= static_cast<int>(group->Items().size())) return FALSE;
  group->Items()[static_cast<size_t>(itemIndex)]->SetImage(image);
  Repaint();
  return TRUE;
}

void CWndDirectUI::SetImageList(const CImageList& images) {
  m_imageList = images;
  Repaint();
}

CDirectUIGroup* CWndDirectUI::GetGroup(int index) const {
  if (index < 0 || index >= static_cast<int>(m_groups.size())) return nullptr;
  return m_groups[static_cast<size_t>(index)].get();
}

void CWndDirectUI::PlaceScrollBar() {
  if (!m_scrollBar || !m_widget) return;
  int w = GetSystemMetrics(SM_CXHTHUMB);
  m_scrollBar->setGeometry(m_widget->width() - w, 0, w, m_widget->height());
}

void CWndDirectUI::OnPaint() {
  CPaintDC dc(this);
  if (!dc.valid()) return;
  QPainter& p = dc.painter();
  RECT client;
  GetClientRect(&client);
  int width = client.right - (m_scrollShown ? GetSystemMetrics(SM_CXHTHUMB) : 0);
  int visible = client.bottom;
  p.save();
  p.setClipRect(0, 0, width, visible);
  COLORREF background =
      m_panelStyle == 4 ? BlendColour(GetSysColor(COLOR_HIGHLIGHT), 0.4) : GetSysColor(COLOR_WINDOW);
  p.fillRect(0, 0, width, visible, ToQColor(background));
  p.translate(0, -m_scrollPos);
  int y = 10;
  int lastBottom = 0;
  for (auto& group : m_groups) {
    if (group->NeedsLayout()) group->Layout();
    RECT rect{10, y, width - 10, y + group->GetHeight()};
    group->Draw(p, rect);
    lastBottom = rect.bottom;
    y = rect.bottom + 10;
  }
  p.restore();

  bool needed = visible < lastBottom + 10;
  if (needed != m_scrollShown) {
    m_scrollShown = needed;
    PlaceScrollBar();
    m_scrollBar->setVisible(needed);
    Invalidate();
  }
  m_settingScroll = true;
  if (needed) {
    m_scrollLimit = lastBottom + 10 - visible;
    m_scrollBar->setRange(0, m_scrollLimit);
    m_scrollBar->setPageStep(visible);
    m_scrollBar->setSingleStep(1);
    if (m_scrollPos > m_scrollLimit) m_scrollPos = m_scrollLimit;
    m_scrollBar->setValue(m_scrollPos);
  } else {
    m_scrollLimit = 0;
    m_scrollPos = 0;
  }
  m_settingScroll = false;
}

void CWndDirectUI::OnMouseMove(POINT pt) {
  if (m_scrollShown) pt.y += m_scrollPos;
  CDirectUIGroup* newGroup = nullptr;
  CDirectUIItem* newItem = nullptr;
  if (m_panelStyle != 2) {
    for (auto& group : m_groups) {
      RECT header = group->GetHeaderRect();
      if (PtInRect(&header, pt)) {
        newGroup = group.get();
        break;
      }
    }
  }
  if (!newGroup) {
    for (auto& group : m_groups) {
      if (group->IsCollapsed() && m_panelStyle != 2) continue;
      for (auto& item : group->Items()) {
        if (item->HitTest(pt)) {
          newItem = item.get();
          break;
        }
      }
      if (newItem) break;
    }
  }
  bool changed = false;
  if (newGroup != m_hotGroup) {
    if (m_hotGroup) m_hotGroup->SetHot(false);
    if (newGroup) newGroup->SetHot(true);
    m_hotGroup = newGroup;
    changed = true;
  }
  if (newItem != m_hotItem) {
    if (m_hotItem) m_hotItem->MouseLeave();
    if (newItem) newItem->MouseEnter();
    m_hotItem = newItem;
    changed = true;
    // A caption the panel had to cut ("e: Interrupted: 37% encrypted") is
    // shown whole under the pointer.
    if (QWidget* w = GetQWidget())
      w->setToolTip(newItem && newItem->IsElided() ? QString::fromStdString(newItem->GetCaption()) : QString());
  }
  if (changed) Repaint();
}

void CWndDirectUI::OnLButtonDown() {
  if (m_hotGroup && m_panelStyle != 2) {
    m_hotGroup->SetCollapsed(!m_hotGroup->IsCollapsed());
    m_hotGroup->MarkForLayout();
    Repaint();
  } else if (m_hotItem) {
    m_hotItem->ButtonDown();
  }
}

void CWndDirectUI::OnLButtonUp() {
  if (m_hotItem && !m_hotItem->IsDisabled()) {
    m_hotItem->Click();
    Repaint();
  }
}

BOOL CWndDirectUI::OnSetCursor() {
  if (m_hotItem) {
    SetCursor(m_hotItem->GetCursor());
    return TRUE;
  }
  if (m_hotGroup) {
    SetCursor(m_handCursor);
    return TRUE;
  }
  return FALSE;
}

void CWndDirectUI::OnVScroll(UINT code, int pos) {
  int position = m_scrollPos;
  switch (code) {
    case SB_LINEUP: position -= 1; break;
    case SB_LINEDOWN: position += 1; break;
    case SB_PAGEUP: position -= ItemHeight(); break;
    case SB_PAGEDOWN: position += ItemHeight(); break;
    case SB_TOP: position = 0; break;
    case SB_BOTTOM: position = m_scrollLimit; break;
    case SB_ENDSCROLL: return;
    case SB_THUMBPOSITION:
    case SB_THUMBTRACK: position = pos; break;
    default: return;
  }
  position = std::clamp(position, 0, m_scrollLimit);
  m_scrollPos = position;
  m_settingScroll = true;
  if (m_scrollBar) m_scrollBar->setValue(position);
  m_settingScroll = false;
  Repaint();
}
