#include "app/option_dlg.h"

#include <vector>

#include "app/resource.h"
#include "app/settings.h"

COptionDlg::COptionDlg(TarnSystemCalls& system, CWnd* parent) : CDialog(IDD_OPTION, parent), m_system(system) {
  ShowTray = SettingOn(system, kShowTrayIcon) ? 1 : 0;
  ShellExtension = SettingOn(system, kShellExtensionEnabled) ? 1 : 0;
  OnCommandId(IDC_OPT_AUTOSTART, [this] { OnAutostartClicked(); });
}

COptionDlg::~COptionDlg() { DestroyWindow(); }

BOOL COptionDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  m_background = LoadBitmap(IDB_BACKGROUND);
  SetBackgroundPattern(m_background);
  // Larger than the 260 bytes of the Run value's buffer: a long program
  // path must not show autostart as off while it is on.
  std::vector<char> command(4096 + 16);
  bool on = ReadRunValue(m_system, kRunKey, kRunValueName, command.data(), static_cast<DWORD>(command.size())) ==
            ERROR_SUCCESS;
  SetCheck(GetDlgItem(IDC_OPT_AUTOSTART), on ? BST_CHECKED : BST_UNCHECKED);
  return TRUE;
}

void COptionDlg::DoDataExchange(CDataExchange* pDX) {
  DDX_Check(pDX, IDC_OPT_TRAY, ShowTray);
  DDX_Check(pDX, IDC_OPT_SHELLEXT, ShellExtension);
}

void COptionDlg::OnAutostartClicked() {
  // Takes effect at once, whatever becomes of the dialog.
  if (GetCheck(GetDlgItem(IDC_OPT_AUTOSTART)) == BST_CHECKED)
    WriteRunValue(m_system, kRunKey, kRunValueName, AutostartCommand(m_system).c_str());
  else
    DeleteRunValue(m_system, kRunKey, kRunValueName);
}

void COptionDlg::OnOK() {
  if (!UpdateData(TRUE)) return;
  WriteSettingDword(m_system, kAppKey, kShellExtensionEnabled, ShellExtension ? 1 : 0);
  CDialog::OnOK();
}
