// The Create Image page: a new image file with an empty FAT or FAT32 file
// system, made by the service, optionally encrypted in place right after.
#include <cstdio>

#include "app/pages.h"
#include "app/password_dlg.h"
#include "app/resource.h"


CPageCreateImage::CPageCreateImage(TarnSystemCalls& system, CWnd* parent)
    : CPage(IDD_PAGE_CREATEIMAGE, system, parent) {
  OnCommandId(IDC_CI_BROWSE, [this] { OnBrowse(); });
  OnCommandId(IDOK, [this] { OnCreate(); });
  OnMessage(WM_TIMER, [this](WPARAM w, LPARAM) -> LRESULT {
    OnProgressTimer(w);
    return 0;
  });
}

BOOL CPageCreateImage::OnInitDialog() {
  m_fsCombo.Attach(GetDlgItem(IDC_CI_FS));
  m_fsCombo.AddString("FAT");
  m_fsCombo.AddString("FAT32");
  CPage::OnInitDialog();
  m_progress.Attach(GetDlgItem(IDC_CI_PROGRESS));
  m_fsCombo.SetCurSel(0);
  return TRUE;
}

void CPageCreateImage::DoDataExchange(CDataExchange* pDX) {
  DDX_Text(pDX, IDC_CI_PATH, m_path);
  DDX_Text(pDX, IDC_CI_SIZE, m_sizeMB);
  DDX_Check(pDX, IDC_CI_ENCRYPT, m_encryptAfter);
  DDX_Text(pDX, IDC_CI_LABEL, m_label);
  DDV_MaxChars(pDX, m_label, 11);
}

void CPageCreateImage::OnBrowse() {
  CFileDialog dialog(FALSE, "img", nullptr, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT,
                     "Standard Disk Image Files (*.img)|*.Img|All Files (*.*)|*.*||", this);
  if (dialog.DoModal() != IDOK) return;
  if (!UpdateData(TRUE)) return;
  m_path = dialog.GetPathName();
  UpdateData(FALSE);
}

void CPageCreateImage::OnCreate() {
  if (m_watch.Active()) return;
  if (!UpdateData(TRUE)) return;
  if (m_path.empty()) {
    Say("Please input image file path!");
    return;
  }
  if (m_system.GetFileAttributesA(m_path.c_str()) != INVALID_FILE_ATTRIBUTES) {
    if (!Confirm("The file " + m_path + " is already exist, do you want overwrite it?")) return;
  }
  m_fileSystem = m_fsCombo.GetCurSel();
  // Megabytes to bytes in 64 bits: 4096 MB is 4,294,967,296 bytes.
  int64_t bytes = static_cast<int64_t>(m_sizeMB) * 1048576;
  long r = m_system.SvcCreateImage(m_path.c_str(), bytes, m_fileSystem, 0, m_label.c_str());
  if (r != 0) {
    char text[600];
    std::snprintf(text, sizeof(text), "An error occurred while creating image file: %s, error code %X.",
                  m_path.c_str(), static_cast<unsigned>(r));
    MessageBox(text, "Error", MB_OK | MB_ICONERROR);
    return;
  }
  if (!m_encryptAfter) {
    Say("Create disk image complete!");
    UpdateData(FALSE);
    m_progress.SetPos(0);
    return;
  }
  CEncryptPasswordDlg dialog(this);
  if (dialog.DoModal() != IDOK) {
    UpdateData(FALSE);
    m_progress.SetPos(0);
    return;
  }
  std::string password = dialog.GetPassword();
  r = m_system.SvcStartImageConversion(m_path.c_str(), m_path.c_str(), 1, password.c_str());
  std::fill(password.begin(), password.end(), '\0');
  m_failedStart = r;
  if (r != 0) {
    char text[600];
    std::snprintf(text, sizeof(text),
                  "An error occurred while encrypt image file: %s, error code %X,do you want to continue? ",
                  m_path.c_str(), static_cast<unsigned>(r));
    if (MessageBox(text, "Error", MB_ABORTRETRYIGNORE | MB_ICONERROR) == IDABORT) {
      m_failedStart = 0;
      return;
    }
  }
  m_watch.Begin();
  EnableWindow(FALSE);
  StartProgress(m_progress, 0);
  UpdateData(FALSE);
  m_progress.SetPos(0);
}

void CPageCreateImage::OnProgressTimer(UINT_PTR timer) {
  FollowImageConversion(timer, m_failedStart, m_progress, "Create and encrypt disk image complete!",
                        [this] { EndConversion(); });
}

void CPageCreateImage::EndConversion() {
  m_progress.SetPos(0);
  EnableWindow(TRUE);
  m_watch.End();
  m_failedStart = 0;
  SendToMain(WM_ENABLENAV, 1);
}
