// CWnd: a Qt widget seen through a Windows window handle. Messages reach a
// window through its message map (filled by the derived class's constructor)
// and fall through to the default processing, as in the dialog framework the
// program was written for.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/winuser.h"

class QWidget;
class QPainter;
class QTimer;

enum class ControlKind {
  Window,        // a window of its own class that paints itself
  Dialog,
  Static,
  StaticBitmap,
  StaticFrame,
  GroupBox,
  Edit,
  PushButton,
  CheckBox,
  RadioButton,
  ComboDropList,
  Progress,
};

class CWnd {
 public:
  CWnd();
  virtual ~CWnd();
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  HWND GetSafeHwnd() const { return m_hWnd; }
  operator HWND() const { return m_hWnd; }
  // The live window of a handle, or nullptr once it has been destroyed.
  static CWnd* FromHandle(HWND hwnd);
  QWidget* GetQWidget() const { return m_widget; }
  ControlKind GetKind() const { return m_kind; }

  // Creates a child window of its own class that paints itself (WM_PAINT
  // with a CPaintDC) and receives the mouse messages.
  BOOL CreateEx(DWORD exStyle, DWORD style, const RECT& rect, CWnd* parent, UINT id);
  // Takes over a control that a dialog built from its template: the control
  // is replaced by this window at the same place, with the same id, style
  // and text.
  BOOL SubclassDlgItem(UINT id, CWnd* parent);
  virtual void DestroyWindow();

  LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
  BOOL PostMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
  virtual LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
  virtual LRESULT DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
  // Runs the command entries of the map; FALSE when none matched.
  virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);

  UINT_PTR SetTimer(UINT_PTR id, UINT elapse);
  BOOL KillTimer(UINT_PTR id);
  BOOL HasTimer(UINT_PTR id) const { return m_timers.count(id) != 0; }

  BOOL ShowWindow(int cmd);
  BOOL IsWindowVisible() const;
  BOOL EnableWindow(BOOL enable);
  BOOL IsWindowEnabled() const;
  void SetWindowText(const std::string& text);
  std::string GetWindowText() const;
  CWnd* GetDlgItem(int id) const;
  int GetDlgCtrlID() const { return m_id; }
  CWnd* GetParent() const { return m_parent; }
  void MoveWindow(const RECT& rect, BOOL repaint = TRUE);
  void MoveWindow(int x, int y, int cx, int cy, BOOL repaint = TRUE);
  void GetClientRect(LPRECT rect) const;
  // Relative to the parent's client area for a child, to the screen otherwise.
  void GetWindowRect(LPRECT rect) const;
  DWORD GetStyle() const;
  DWORD GetExStyle() const { return m_exStyle; }
  BOOL ModifyStyle(DWORD remove, DWORD add);
  BOOL ModifyStyleEx(DWORD remove, DWORD add);
  void Invalidate(BOOL erase = TRUE);
  void UpdateWindow();
  void CenterWindow(CWnd* alternateOwner = nullptr);
  void SetFocus();
  void SetIcon(HICON icon, BOOL big);
  int MessageBox(const std::string& text, const char* caption = nullptr, UINT type = MB_OK);
  // Children created from a template or with CreateEx, in creation order.
  const std::vector<CWnd*>& Children() const { return m_children; }

  // Used by the widgets: the painter of the WM_PAINT being handled.
  QPainter* CurrentPainter() const { return m_painter; }
  void SetCurrentPainter(QPainter* p) { m_painter = p; }

 protected:
  // Message map entries. Single command ids take precedence over ranges.
  void OnMessage(UINT msg, std::function<LRESULT(WPARAM, LPARAM)> handler);
  void OnCommandId(UINT id, std::function<void()> handler);
  void OnCommandRange(UINT first, UINT last, std::function<void(UINT)> handler);

  // Adopts a widget as this window's; registers the handle.
  void AttachWidget(QWidget* widget, ControlKind kind, CWnd* parent, UINT id, DWORD style, DWORD exStyle);
  void AddChild(CWnd* child) { m_children.push_back(child); }
  void RemoveChild(CWnd* child);
  virtual QWidget* CreateOwnWidget(QWidget* parent);

  HWND m_hWnd = nullptr;
  QWidget* m_widget = nullptr;
  ControlKind m_kind = ControlKind::Window;
  CWnd* m_parent = nullptr;
  UINT m_id = 0;
  DWORD m_style = 0;
  DWORD m_exStyle = 0;

 private:
  friend class CDialog;
  struct CommandRange {
    UINT first, last;
    std::function<void(UINT)> handler;
  };
  std::map<UINT, std::function<LRESULT(WPARAM, LPARAM)>> m_messageMap;
  std::map<UINT, std::function<void()>> m_commandMap;
  std::vector<CommandRange> m_commandRanges;
  std::map<UINT_PTR, std::unique_ptr<QTimer>> m_timers;
  std::vector<CWnd*> m_children;
  QPainter* m_painter = nullptr;
};

// A window made for one control of a template; the dialog owns it.
class CControlWnd : public CWnd {
 public:
  CControlWnd(QWidget* widget, ControlKind kind, CWnd* parent, UINT id, DWORD style, DWORD exStyle) {
    AttachWidget(widget, kind, parent, id, style, exStyle);
  }
};

// The painter of the current WM_PAINT; valid only inside that handler.
class CPaintDC {
 public:
  explicit CPaintDC(CWnd* wnd) : m_painter(wnd->CurrentPainter()) {}
  QPainter* operator->() const { return m_painter; }
  QPainter& painter() const { return *m_painter; }
  bool valid() const { return m_painter != nullptr; }

 private:
  QPainter* m_painter;
};

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL IsWindow(HWND hwnd);

// The application's main window (the one panel clicks and the tray talk to)
// and name (the caption of its plain message boxes).
CWnd* AfxGetMainWnd();
void AfxSetMainWnd(CWnd* wnd);
std::string AfxGetAppName();
void AfxSetAppName(const std::string& name);
int AfxMessageBox(const std::string& text, UINT type = MB_OK);

// Cursors: SetCursor acts on the window whose WM_SETCURSOR is being handled.
HCURSOR LoadCursor(void* instance, LPCSTR name);
HCURSOR SetCursor(HCURSOR cursor);

// The wait cursor for as long as the object lives.
class CWaitCursor {
 public:
  CWaitCursor();
  ~CWaitCursor();
  CWaitCursor(const CWaitCursor&) = delete;
  CWaitCursor& operator=(const CWaitCursor&) = delete;
};

namespace tarn::ui {
// Windows still alive, in creation order (tests and device broadcasts).
std::vector<CWnd*> LiveWindows();
// Runs posted messages and timers that are due, without waiting.
void PumpMessages();
// The widget currently answering WM_SETCURSOR, for SetCursor.
void SetCursorTarget(QWidget* widget);
bool WaitCursorShown();
}  // namespace tarn::ui
