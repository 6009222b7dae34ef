#include "app/password_dlg.h"

#include <algorithm>

#include "app/resource.h"

namespace {
// Passwords are keys: overwrite them before the memory goes back.
void Wipe(std::string& secret) {
  std::fill(secret.begin(), secret.end(), '\0');
  secret.clear();
}
}  // namespace

CPasswordDlg::CPasswordDlg(CWnd* parent) : CDialog(IDD_PASSWORD, parent) {}

CPasswordDlg::~CPasswordDlg() {
  DestroyWindow();
  Wipe(m_password);
}

BOOL CPasswordDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  m_background = LoadBitmap(IDB_BACKGROUND);
  SetBackgroundPattern(m_background);
  return TRUE;
}

void CPasswordDlg::DoDataExchange(CDataExchange* pDX) {
  DDX_Text(pDX, IDC_PASSWORD, m_password);
  DDV_MaxChars(pDX, m_password, kPasswordMaxChars);
}

CEncryptPasswordDlg::CEncryptPasswordDlg(CWnd* parent) : CDialog(IDD_ENCRYPTPASSWORD, parent) {}

CEncryptPasswordDlg::~CEncryptPasswordDlg() {
  DestroyWindow();
  Wipe(m_password);
  Wipe(m_confirm);
}

BOOL CEncryptPasswordDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  m_background = LoadBitmap(IDB_BACKGROUND);
  SetBackgroundPattern(m_background);
  return TRUE;
}

void CEncryptPasswordDlg::DoDataExchange(CDataExchange* pDX) {
  DDX_Text(pDX, IDC_PASSWORD, m_password);
  DDV_MaxChars(pDX, m_password, kPasswordMaxChars);
  DDX_Text(pDX, IDC_CONFIRM, m_confirm);
  DDV_MaxChars(pDX, m_confirm, kPasswordMaxChars);
}

void CEncryptPasswordDlg::OnOK() {
  if (!UpdateData(TRUE)) return;
  if (m_password != m_confirm) {
    // Both fields stay as typed; only OK with equal texts leaves.
    AfxMessageBox(kPasswordMismatchText, MB_OK);
    return;
  }
  EndDialog(IDOK);
}
