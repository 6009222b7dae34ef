// CDialog: a window built from a registered template, modal (DoModal, or
// Create followed by RunModalLoop) or modeless, with dialog data exchange.
#pragma once

#include <string>

#include "platform/ui/dialog_template.h"
#include "platform/ui/menu.h"
#include "platform/ui/wnd.h"

class QEventLoop;
class CDataExchange;

class CDialog : public CWnd {
 public:
  explicit CDialog(UINT idd, CWnd* parent = nullptr) : m_idd(idd), m_pParentWnd(parent) {}
  ~CDialog() override;

  UINT GetTemplateId() const { return m_idd; }
  // Builds the window and its controls and runs OnInitDialog. A child
  // template (WS_CHILD) becomes a page inside its parent.
  virtual BOOL Create(UINT idd = 0, CWnd* parent = nullptr);
  // Create, centre, show, disable the owner, run the loop, enable the owner
  // again, destroy. Returns the end code.
  virtual INT_PTR DoModal();
  // Runs a nested loop until EndDialog; returns the end code.
  int RunModalLoop();
  void EndDialog(int result);
  bool IsModalLoopRunning() const { return m_loop != nullptr; }
  int GetEndCode() const { return m_nModalResult; }

  BOOL UpdateData(BOOL saveAndValidate = TRUE);
  void SetDlgItemText(int id, const std::string& text);
  std::string GetDlgItemText(int id) const;
  // The dialog background as a pattern of the bitmap (what the program's
  // WM_CTLCOLOR handlers return); static controls stay transparent over it.
  void SetBackgroundPattern(HBITMAP bitmap);
  // Base units of the template's font, and a rectangle mapped with them.
  tarn::ui::BaseUnits GetBaseUnits() const { return m_units; }
  RECT MapDialogRect(const RECT& du) const { return tarn::ui::MapDialogRect(du, m_units); }
  // The id Enter presses: the default push button of the template, or IDOK.
  int GetDefaultId() const;
  // The program's additions to the window menu (shown as its context menu).
  CMenu* GetSystemMenu(BOOL revert);

  virtual BOOL OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  virtual void DoDataExchange(CDataExchange* pDX) { (void)pDX; }

  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
  void DestroyWindow() override;

 protected:
  QWidget* CreateOwnWidget(QWidget* parent) override;
  UINT m_idd;
  CWnd* m_pParentWnd;

 private:
  QEventLoop* m_loop = nullptr;
  int m_nModalResult = -1;
  bool m_ended = false;
  CMenu m_systemMenu;
  tarn::ui::BaseUnits m_units{6, 13};
};

// Data exchange between controls and members. A failed check has told the
// user why; UpdateData then returns FALSE with the focus on that control.
class CDataExchange {
 public:
  CDataExchange(CDialog* dlg, BOOL saveAndValidate) : m_bSaveAndValidate(saveAndValidate), m_pDlgWnd(dlg) {}
  CWnd* PrepareCtrl(int id);
  [[noreturn]] void Fail();

  BOOL m_bSaveAndValidate;
  CDialog* m_pDlgWnd;
  int m_idLastControl = 0;
};

void DDX_Text(CDataExchange* pDX, int id, std::string& value);
void DDX_Text(CDataExchange* pDX, int id, int& value);
void DDX_Check(CDataExchange* pDX, int id, int& value);
void DDX_CBIndex(CDataExchange* pDX, int id, int& index);
// id is the first radio button of its group; value is the index checked, -1 for none.
void DDX_Radio(CDataExchange* pDX, int id, int& value);
// Loading limits the edit control to maxChars; saving refuses longer text.
void DDV_MaxChars(CDataExchange* pDX, const std::string& value, int maxChars);

namespace tarn::ui {
// The prompts of the data exchange, formatted.
std::string IntegerPrompt();
std::string MaxCharsPrompt(int maxChars);
}  // namespace tarn::ui
