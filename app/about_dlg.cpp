#include "app/about_dlg.h"

#include "app/resource.h"

CAboutDlg::CAboutDlg(CWnd* parent) : CDialog(IDD_ABOUTBOX, parent) {}

CAboutDlg::~CAboutDlg() {
  m_homePage.DestroyWindow();
  m_support.DestroyWindow();
  DestroyWindow();
}

BOOL CAboutDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  SetBackgroundPattern(LoadBitmap(IDB_BACKGROUND));
  m_homePage.SubclassDlgItem(IDC_ABOUT_HOMEPAGE, this);
  m_homePage.SetTextColor(RGB(0, 0, 255))
      .SetFontUnderline(TRUE)
      .SetLink(TRUE, FALSE)
      .SetLinkTarget(kHomePage)
      .SetLinkCursor(LoadCursor(nullptr, IDC_HAND));
  m_support.SubclassDlgItem(IDC_ABOUT_SUPPORT, this);
  m_support.SetTextColor(RGB(0, 0, 255))
      .SetFontUnderline(TRUE)
      .SetMailLink(TRUE, FALSE)
      .SetLinkCursor(LoadCursor(nullptr, IDC_HAND));
  return TRUE;
}
