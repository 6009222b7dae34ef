// Control objects over the controls a dialog built from its template:
// progress bars, drop-down lists and check boxes, with the Windows calls.
#pragma once

#include <string>

#include "platform/ui/wnd.h"

class QProgressBar;
class QComboBox;

#define BST_UNCHECKED 0
#define BST_CHECKED 1
#define CB_ERR (-1)
#define RDW_INVALIDATE 0x0001
#define RDW_ERASE 0x0004
#define RDW_UPDATENOW 0x0100

class CProgressCtrl {
 public:
  void Attach(CWnd* wnd) { m_hWnd = wnd ? wnd->GetSafeHwnd() : nullptr; }
  HWND GetSafeHwnd() const { return m_hWnd; }
  void SetRange(int lower, int upper);
  void GetRange(int& lower, int& upper) const;
  int SetStep(int step);
  int SetPos(int pos);
  int GetPos() const;
  // Repaints at once (RedrawWindow with RDW_UPDATENOW).
  void RedrawWindow(UINT flags = RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);

 private:
  QProgressBar* Bar() const;
  HWND m_hWnd = nullptr;
  int m_step = 10;
};

class CComboBox {
 public:
  void Attach(CWnd* wnd) { m_hWnd = wnd ? wnd->GetSafeHwnd() : nullptr; }
  HWND GetSafeHwnd() const { return m_hWnd; }
  void ResetContent();
  int AddString(const std::string& text);
  // -1 appends.
  int InsertString(int index, const std::string& text);
  int GetCount() const;
  int GetCurSel() const;
  int SetCurSel(int index);
  std::string GetLBText(int index) const;
  std::string GetWindowText() const;

 private:
  QComboBox* Box() const;
  HWND m_hWnd = nullptr;
};

// BM_GETCHECK and BM_SETCHECK of a check box or radio button.
int GetCheck(CWnd* button);
void SetCheck(CWnd* button, int state);
