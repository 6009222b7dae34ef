// The CD/DVD image pages: an ISO file encrypted into a new ".enc.iso", or
// decrypted back, by the service's image conversion.
#include <QString>
#include <cstdio>

#include "app/pages.h"
#include "app/password_dlg.h"
#include "app/resource.h"

namespace {
constexpr const char* kIsoFilter = "Iso Files (*.iso)|*.iso||";

std::string ReplaceAll(std::string text, const std::string& what, const std::string& with) {
  size_t at = 0;
  while ((at = text.find(what, at)) != std::string::npos) {
    text.replace(at, what.size(), with);
    at += with.size();
  }
  return text;
}
}  // namespace

CPageImageEnc::CPageImageEnc(UINT idd, TarnSystemCalls& system, CWnd* parent) : CPage(idd, system, parent) {
  OnCommandId(IDC_IMG_BROWSE_SOURCE, [this] { OnBrowseSource(); });
  OnCommandId(IDC_IMG_BROWSE_DEST, [this] { OnBrowseDestination(); });
  OnCommandId(IDOK, [this] { OnStart(); });
  OnMessage(WM_TIMER, [this](WPARAM w, LPARAM) -> LRESULT {
    OnProgressTimer(w);
    return 0;
  });
}

BOOL CPageImageEnc::OnInitDialog() {
  CPage::OnInitDialog();
  m_progress.Attach(GetDlgItem(IDC_IMG_PROGRESS));
  m_progress.SetRange(0, 100);
  m_progress.SetStep(1);
  return TRUE;
}

void CPageImageEnc::DoDataExchange(CDataExchange* pDX) {
  DDX_Text(pDX, IDC_IMG_SOURCE, m_source);
  DDX_Text(pDX, IDC_IMG_DEST, m_destination);
}

BOOL CPageImageEnc::OnCommand(WPARAM wParam, LPARAM lParam) {
  if (LOWORD(wParam) == IDC_IMG_SOURCE && HIWORD(wParam) == EN_CHANGE) {
    OnSourceChanged();
    return TRUE;
  }
  return CPage::OnCommand(wParam, lParam);
}

void CPageImageEnc::SetEncryptMode(int encrypt) {
  m_encrypt = encrypt & 0xFF;
  if (CWnd* button = GetDlgItem(IDOK)) button->SetWindowText(m_encrypt ? "Encrypt" : "Decrypt");
}

std::string CPageImageEnc::DeriveDestination(const std::string& source, bool encrypt) {
  // Only the file name is lowered and renamed: Linux folders are case
  // sensitive, so a lowered folder would be another folder or none at all.
  size_t slash = source.rfind('/');
  std::string folder = slash == std::string::npos ? "" : source.substr(0, slash + 1);
  std::string lower = QString::fromStdString(source.substr(folder.size())).toLower().toStdString();
  if (encrypt) return folder + ReplaceAll(lower, ".iso", ".enc.iso");
  if (lower.find(".enc.iso") != std::string::npos) return folder + ReplaceAll(lower, ".enc.iso", ".iso");
  return folder + ReplaceAll(lower, ".iso", ".dec.iso");
}

void CPageImageEnc::OnSourceChanged() {
  UpdateData(TRUE);
  m_destination = DeriveDestination(m_source, m_encrypt != 0);
  UpdateData(FALSE);
}

void CPageImageEnc::OnBrowseSource() {
  CFileDialog dialog(TRUE, nullptr, nullptr, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, kIsoFilter, this);
  if (dialog.DoModal() != IDOK) return;
  UpdateData(TRUE);
  m_source = dialog.GetPathName();
  UpdateData(FALSE);
  OnSourceChanged();
}

void CPageImageEnc::OnBrowseDestination() {
  CFileDialog dialog(TRUE, nullptr, nullptr, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, kIsoFilter, this);
  if (dialog.DoModal() != IDOK) return;
  UpdateData(TRUE);
  m_destination = dialog.GetPathName();
  UpdateData(FALSE);
}

void CPageImageEnc::OnStart() {
  if (m_watch.Active()) return;
  UpdateData(TRUE);
  if (m_system.GetFileAttributesA(m_destination.c_str()) != INVALID_FILE_ATTRIBUTES) {
    if (!Confirm("The destination " + m_destination + " is already exist, do you want overwrite it?")) return;
  }
  std::string password;
  int answer;
  if (m_encrypt) {
    CEncryptPasswordDlg dialog(this);
    answer = static_cast<int>(dialog.DoModal());
    password = dialog.GetPassword();
  } else {
    CPasswordDlg dialog(this);
    answer = static_cast<int>(dialog.DoModal());
    password = dialog.GetPassword();
  }
  if (answer == IDOK) {
    long r = m_system.SvcStartImageConversion(m_source.c_str(), m_destination.c_str(), m_encrypt, password.c_str());
    std::fill(password.begin(), password.end(), '\0');
    m_failedStart = r;
    if (r != 0) {
      char text[600];
      std::snprintf(text, sizeof(text),
                    "An error occured while encrypt image file: %s, error code %X,do you want to continue? ",
                    m_source.c_str(), static_cast<unsigned>(r));
      if (MessageBox(text, "Error", MB_ABORTRETRYIGNORE | MB_ICONERROR) == IDABORT) {
        UpdateData(FALSE);
        return;
      }
    }
    m_watch.Begin();
    EnableWindow(FALSE);
    StartProgress(m_progress, m_encrypt ? 0 : 1);
  }
  UpdateData(FALSE);
  m_progress.SetPos(0);
}

void CPageImageEnc::OnProgressTimer(UINT_PTR timer) {
  FollowImageConversion(timer, m_failedStart, m_progress,
                        timer == 0 ? "Encrypt cd/dvd image complete!" : "Decrypt cd/dvd image complete!",
                        [this] { EndConversion(); });
}

void CPageImageEnc::EndConversion() {
  SendToMain(WM_COMMAND, ID_REFRESH, 0);
  m_progress.SetPos(0);
  EnableWindow(TRUE);
  m_watch.End();
  m_failedStart = 0;
  SendToMain(WM_ENABLENAV, 1);
}
