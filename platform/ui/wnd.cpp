#include "platform/ui/wnd.h"

#include <algorithm>

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <unordered_map>

#include "platform/ui/control_text.h"
#include "platform/ui/gdi.h"
#include "platform/ui/ui_seam.h"
#include "platform/ui/wnd_widget.h"

namespace {

// GUI thread only, like every window.
std::unordered_map<HWND, CWnd*>& HandleTable() {
  static std::unordered_map<HWND, CWnd*> table;
  return table;
}
std::vector<CWnd*>& CreationOrder() {
  static std::vector<CWnd*> order;
  return order;
}
uintptr_t g_nextHandle = 0x10000;
CWnd* g_mainWnd = nullptr;
std::string g_appName = "shroudkeep";
QPointer<QWidget> g_cursorTarget;
int g_waitCursorDepth = 0;

// A message posted with PostMessage, delivered from the event loop.
class PostedMessageEvent : public QEvent {
 public:
  static QEvent::Type TypeId() {
    static const int id = QEvent::registerEventType();
    return static_cast<QEvent::Type>(id);
  }
  PostedMessageEvent(HWND h, UINT m, WPARAM w, LPARAM l) : QEvent(TypeId()), hwnd(h), msg(m), wParam(w), lParam(l) {}
  HWND hwnd;
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
};

class MessageQueue : public QObject {
 public:
  static MessageQueue& Instance() {
    static MessageQueue* queue = new MessageQueue;
    return *queue;
  }
  bool event(QEvent* e) override {
    if (e->type() != PostedMessageEvent::TypeId()) return QObject::event(e);
    auto* posted = static_cast<PostedMessageEvent*>(e);
    // A window that went away meanwhile gets nothing.
    if (CWnd* wnd = CWnd::FromHandle(posted->hwnd)) wnd->SendMessage(posted->msg, posted->wParam, posted->lParam);
    return true;
  }
};

}  // namespace

CWnd::CWnd() = default;

CWnd::~CWnd() {
  // The map's handlers belong to the derived object, which is gone by now.
  m_messageMap.clear();
  m_commandMap.clear();
  m_commandRanges.clear();
  CWnd::DestroyWindow();
}

CWnd* CWnd::FromHandle(HWND hwnd) {
  auto it = HandleTable().find(hwnd);
  return it == HandleTable().end() ? nullptr : it->second;
}

QWidget* CWnd::CreateOwnWidget(QWidget* parent) { return new tarn::ui::WndWidget(this, parent); }

void CWnd::AttachWidget(QWidget* widget, ControlKind kind, CWnd* parent, UINT id, DWORD style, DWORD exStyle) {
  m_widget = widget;
  m_kind = kind;
  m_parent = parent;
  m_id = id;
  m_style = style;
  m_exStyle = exStyle;
  m_hWnd = reinterpret_cast<HWND>(g_nextHandle);
  g_nextHandle += 4;
  HandleTable()[m_hWnd] = this;
  CreationOrder().push_back(this);
  if (parent) parent->AddChild(this);
  if (style & WS_DISABLED) widget->setEnabled(false);
}

BOOL CWnd::CreateEx(DWORD exStyle, DWORD style, const RECT& rect, CWnd* parent, UINT id) {
  if (m_hWnd) return FALSE;
  QWidget* widget = CreateOwnWidget(parent ? parent->GetQWidget() : nullptr);
  AttachWidget(widget, ControlKind::Window, parent, id, style, exStyle);
  widget->setGeometry(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
  SendMessage(WM_CREATE);
  if (style & WS_VISIBLE) widget->show();
  return TRUE;
}

BOOL CWnd::SubclassDlgItem(UINT id, CWnd* parent) {
  if (m_hWnd || !parent) return FALSE;
  CWnd* old = parent->GetDlgItem(static_cast<int>(id));
  if (!old) return FALSE;
  QWidget* oldWidget = old->GetQWidget();
  QWidget* widget = CreateOwnWidget(parent->GetQWidget());
  widget->setGeometry(oldWidget->geometry());
  std::string text = old->GetWindowText();
  DWORD style = old->m_style;
  DWORD exStyle = old->m_exStyle;
  ControlKind kind = old->GetKind();
  bool visible = !oldWidget->isHidden();
  // The template's control goes; its place in the parent's list is taken
  // by this window.
  auto& siblings = parent->m_children;
  auto pos = std::find(siblings.begin(), siblings.end(), old);
  size_t index = static_cast<size_t>(pos - siblings.begin());
  old->DestroyWindow();
  if (dynamic_cast<CControlWnd*>(old)) delete old;
  AttachWidget(widget, kind, nullptr, id, style, exStyle);
  m_parent = parent;
  siblings.insert(siblings.begin() + static_cast<long>(std::min(index, siblings.size())), this);
  tarn::ui::SetControlText(this, text);
  widget->setVisible(visible);
  return TRUE;
}

void CWnd::RemoveChild(CWnd* child) {
  m_children.erase(std::remove(m_children.begin(), m_children.end(), child), m_children.end());
}

void CWnd::DestroyWindow() {
  if (!m_hWnd) return;
  if (m_hWnd && HandleTable().count(m_hWnd)) SendMessage(WM_DESTROY);
  m_timers.clear();
  // Children go first; template controls belong to their dialog.
  std::vector<CWnd*> children = m_children;
  for (CWnd* child : children) {
    child->DestroyWindow();
    if (dynamic_cast<CControlWnd*>(child)) delete child;
  }
  m_children.clear();
  if (m_parent) m_parent->RemoveChild(this);
  HandleTable().erase(m_hWnd);
  auto& order = CreationOrder();
  order.erase(std::remove(order.begin(), order.end(), this), order.end());
  if (g_mainWnd == this) g_mainWnd = nullptr;
  m_hWnd = nullptr;
  if (auto* own = dynamic_cast<tarn::ui::WndWidget*>(m_widget)) own->Detach();
  QWidget* widget = m_widget;
  m_widget = nullptr;
  // The parent's widget may already be on its way out with its children.
  if (widget) {
    widget->hide();
    widget->deleteLater();
    widget->setParent(nullptr);
  }
}

LRESULT CWnd::SendMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (!m_hWnd) return 0;
  return WindowProc(msg, wParam, lParam);
}

BOOL CWnd::PostMessage(UINT msg, WPARAM wParam, LPARAM lParam) { return ::PostMessage(m_hWnd, msg, wParam, lParam); }

LRESULT CWnd::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_COMMAND) {
    if (OnCommand(wParam, lParam)) return 0;
    return DefWindowProc(msg, wParam, lParam);
  }
  auto it = m_messageMap.find(msg);
  if (it != m_messageMap.end()) return it->second(wParam, lParam);
  return DefWindowProc(msg, wParam, lParam);
}

LRESULT CWnd::DefWindowProc(UINT msg, WPARAM wParam, LPARAM) {
  switch (msg) {
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_MINIMIZE && m_widget) m_widget->showMinimized();
      if ((wParam & 0xFFF0) == SC_CLOSE) SendMessage(WM_CLOSE);
      if ((wParam & 0xFFF0) == SC_RESTORE && m_widget) m_widget->showNormal();
      return 0;
    case WM_CLOSE:
      DestroyWindow();
      return 0;
    default:
      return 0;
  }
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM) {
  UINT id = LOWORD(wParam);
  // Command entries take clicks and menu choices; other notifications of a
  // control (EN_CHANGE, CBN_SELCHANGE, ...) go to the window's own OnCommand.
  if (HIWORD(wParam) > 1) return FALSE;
  auto single = m_commandMap.find(id);
  if (single != m_commandMap.end()) {
    single->second();
    return TRUE;
  }
  for (const CommandRange& range : m_commandRanges) {
    if (id >= range.first && id <= range.last) {
      range.handler(id);
      return TRUE;
    }
  }
  return FALSE;
}

void CWnd::OnMessage(UINT msg, std::function<LRESULT(WPARAM, LPARAM)> handler) { m_messageMap[msg] = std::move(handler); }
void CWnd::OnCommandId(UINT id, std::function<void()> handler) { m_commandMap[id] = std::move(handler); }
void CWnd::OnCommandRange(UINT first, UINT last, std::function<void(UINT)> handler) {
  m_commandRanges.push_back({first, last, std::move(handler)});
}

UINT_PTR CWnd::SetTimer(UINT_PTR id, UINT elapse) {
  if (!m_hWnd) return 0;
  auto timer = std::make_unique<QTimer>();
  timer->setInterval(static_cast<int>(elapse));
  HWND self = m_hWnd;
  QObject::connect(timer.get(), &QTimer::timeout, [self, id] {
    if (CWnd* wnd = CWnd::FromHandle(self)) wnd->SendMessage(WM_TIMER, id, 0);
  });
  timer->start();
  m_timers[id] = std::move(timer);  // the same id replaces the running timer
  return id == 0 ? 1 : id;
}

BOOL CWnd::KillTimer(UINT_PTR id) {
  auto it = m_timers.find(id);
  if (it == m_timers.end()) return FALSE;
  // A timer may be killed from its own tick; let Qt finish with it first.
  it->second->stop();
  it->second.release()->deleteLater();
  m_timers.erase(it);
  return TRUE;
}

BOOL CWnd::ShowWindow(int cmd) {
  if (!m_widget) return FALSE;
  BOOL wasVisible = !m_widget->isHidden();
  switch (cmd) {
    case SW_HIDE:
      m_widget->hide();
      break;
    case SW_SHOWMINIMIZED:
    case SW_MINIMIZE:
      m_widget->showMinimized();
      break;
    case SW_RESTORE:
      m_widget->showNormal();
      break;
    default:
      m_widget->show();
      break;
  }
  return wasVisible;
}

BOOL CWnd::IsWindowVisible() const { return m_widget && m_widget->isVisible(); }

BOOL CWnd::EnableWindow(BOOL enable) {
  if (!m_widget) return FALSE;
  BOOL wasDisabled = (m_style & WS_DISABLED) != 0;
  if (enable)
    m_style &= ~WS_DISABLED;
  else
    m_style |= WS_DISABLED;
  // Qt would carry a disabled top-level window's state into the dialogs it
  // owns; the modal dialogs block their owner themselves (window modality),
  // so a top-level window only keeps the flag.
  if (!m_widget->isWindow()) m_widget->setEnabled(enable != FALSE);
  SendMessage(WM_ENABLE, enable ? 1 : 0);
  return wasDisabled;
}

BOOL CWnd::IsWindowEnabled() const {
  if (!m_widget) return FALSE;
  return m_widget->isWindow() ? !(m_style & WS_DISABLED) : m_widget->isEnabled();
}

void CWnd::SetWindowText(const std::string& text) {
  tarn::ui::SetControlText(this, text);
  SendMessage(WM_SETTEXT);
}

std::string CWnd::GetWindowText() const { return tarn::ui::GetControlText(this); }

CWnd* CWnd::GetDlgItem(int id) const {
  for (CWnd* child : m_children)
    if (static_cast<int>(child->m_id) == id) return child;
  return nullptr;
}

void CWnd::MoveWindow(const RECT& r, BOOL repaint) { MoveWindow(r.left, r.top, r.right - r.left, r.bottom - r.top, repaint); }

void CWnd::MoveWindow(int x, int y, int cx, int cy, BOOL repaint) {
  if (!m_widget) return;
  m_widget->setGeometry(x, y, cx, cy);
  if (repaint) m_widget->update();
}

void CWnd::GetClientRect(LPRECT rect) const {
  *rect = RECT{0, 0, 0, 0};
  if (m_widget) *rect = RECT{0, 0, m_widget->width(), m_widget->height()};
}

void CWnd::GetWindowRect(LPRECT rect) const {
  *rect = RECT{0, 0, 0, 0};
  if (!m_widget) return;
  QRect g = m_widget->geometry();
  *rect = RECT{g.left(), g.top(), g.left() + g.width(), g.top() + g.height()};
}

DWORD CWnd::GetStyle() const {
  DWORD style = m_style & ~(WS_VISIBLE | WS_DISABLED);
  if (m_widget && !m_widget->isHidden()) style |= WS_VISIBLE;
  if (m_widget && (m_widget->isWindow() ? (m_style & WS_DISABLED) != 0 : !m_widget->isEnabled())) style |= WS_DISABLED;
  return style;
}

BOOL CWnd::ModifyStyle(DWORD remove, DWORD add) {
  DWORD before = m_style;
  m_style = (m_style & ~remove) | add;
  if (m_widget) m_widget->update();
  return before != m_style;
}

BOOL CWnd::ModifyStyleEx(DWORD remove, DWORD add) {
  DWORD before = m_exStyle;
  m_exStyle = (m_exStyle & ~remove) | add;
  if (m_widget) m_widget->update();
  return before != m_exStyle;
}

void CWnd::Invalidate(BOOL) {
  if (m_widget) m_widget->update();
}

void CWnd::UpdateWindow() {
  if (m_widget) m_widget->repaint();
}

void CWnd::CenterWindow(CWnd* alternateOwner) {
  if (!m_widget) return;
  QWidget* owner = alternateOwner ? alternateOwner->GetQWidget() : m_widget->parentWidget();
  QRect area;
  if (owner && m_widget->isWindow())
    area = QRect(owner->mapToGlobal(QPoint(0, 0)), owner->size());
  else if (owner)
    area = owner->rect();
  else if (QScreen* screen = QGuiApplication::primaryScreen())
    area = screen->availableGeometry();
  QRect frame = m_widget->frameGeometry();
  m_widget->move(area.center() - QPoint(frame.width() / 2, frame.height() / 2));
}

void CWnd::SetFocus() {
  if (m_widget) m_widget->setFocus();
}

void CWnd::SetIcon(HICON icon, BOOL) {
  if (m_widget) m_widget->setWindowIcon(tarn::ui::IconFromHandle(icon));
}

int CWnd::MessageBox(const std::string& text, const char* caption, UINT type) {
  return ::MessageBoxA(m_hWnd, text.c_str(), caption ? caption : AfxGetAppName().c_str(), type);
}

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  CWnd* wnd = CWnd::FromHandle(hwnd);
  return wnd ? wnd->SendMessage(msg, wParam, lParam) : 0;
}

BOOL PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (!CWnd::FromHandle(hwnd)) return FALSE;
  QCoreApplication::postEvent(&MessageQueue::Instance(), new PostedMessageEvent(hwnd, msg, wParam, lParam));
  return TRUE;
}

BOOL IsWindow(HWND hwnd) { return CWnd::FromHandle(hwnd) != nullptr; }

CWnd* AfxGetMainWnd() { return g_mainWnd; }
void AfxSetMainWnd(CWnd* wnd) { g_mainWnd = wnd; }
std::string AfxGetAppName() { return g_appName; }
void AfxSetAppName(const std::string& name) { g_appName = name; }

int AfxMessageBox(const std::string& text, UINT type) {
  CWnd* main = AfxGetMainWnd();
  return ::MessageBoxA(main ? main->GetSafeHwnd() : nullptr, text.c_str(), g_appName.c_str(), type);
}

HCURSOR LoadCursor(void*, LPCSTR name) { return reinterpret_cast<HCURSOR>(const_cast<char*>(name)); }

HCURSOR SetCursor(HCURSOR cursor) {
  if (g_cursorTarget) {
    auto id = reinterpret_cast<uintptr_t>(cursor);
    Qt::CursorShape shape = Qt::ArrowCursor;
    if (id == reinterpret_cast<uintptr_t>(IDC_HAND)) shape = Qt::PointingHandCursor;
    if (id == reinterpret_cast<uintptr_t>(IDC_WAIT)) shape = Qt::WaitCursor;
    g_cursorTarget->setCursor(shape);
  }
  return nullptr;
}

CWaitCursor::CWaitCursor() {
  if (g_waitCursorDepth++ == 0) QApplication::setOverrideCursor(Qt::WaitCursor);
}

CWaitCursor::~CWaitCursor() {
  if (--g_waitCursorDepth == 0) QApplication::restoreOverrideCursor();
}

namespace tarn::ui {

std::vector<CWnd*> LiveWindows() { return CreationOrder(); }

void PumpMessages() {
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void SetCursorTarget(QWidget* widget) { g_cursorTarget = widget; }
bool WaitCursorShown() { return g_waitCursorDepth > 0; }

}  // namespace tarn::ui
