// The Disk Encryption page: one drive's parameters, its state and the three
// operations on it (in-place conversion, lock/unlock, quick formats).
#include <cctype>
#include <cstdio>

#include "app/pages.h"
#include "app/password_dlg.h"
#include "app/resource.h"

namespace {
constexpr const char* kQuickEncryptQuestion =
    "Quick Encrypt will erase this drive quickly with encryption format. after that all the date on this drive will "
    "be destroyed! do you want to continue?";
constexpr const char* kQuickDecryptQuestion =
    "Quick Decrypt will erase this drive quickly with normal format. after that all the date on this drive will be "
    "destroyed! do you want to continue?";

std::string Hex(const char* format, long code) {
  char text[256];
  std::snprintf(text, sizeof(text), format, static_cast<unsigned>(code));
  return text;
}

void Wipe(std::string& secret) {
  std::fill(secret.begin(), secret.end(), '\0');
  secret.clear();
}
}  // namespace

std::string InterruptedText(const CONVERSION_STATE& state) {
  return "Interrupted: " + std::to_string(state.Percent) + "% " + (state.Encrypt ? "encrypted" : "decrypted");
}

bool CPageTarn::Interrupted(CONVERSION_STATE* state) {
  *state = CONVERSION_STATE{};
  return m_system.SvcQueryConversion(DevicePath().c_str(), state) == 0 && !state->Running;
}

CPageTarn::CPageTarn(TarnSystemCalls& system, CWnd* parent) : CPage(IDD_PAGE_TARN, system, parent) {
  OnMessage(WM_SETDRIVE, [this](WPARAM w, LPARAM) -> LRESULT {
    // The text belongs to the sender; keep a copy.
    const char* drive = reinterpret_cast<const char*>(w);
    ++m_setDriveCount;
    Refresh(drive ? drive : "");
    return 0;
  });
  OnMessage(WM_PAINT, [this](WPARAM, LPARAM) -> LRESULT {
    Paint();
    return 0;
  });
  OnMessage(WM_TIMER, [this](WPARAM w, LPARAM) -> LRESULT {
    OnProgressTimer(w);
    return 0;
  });
  OnCommandId(IDC_TARN_ENCRYPT, [this] { OnEncryptDecrypt(); });
  OnCommandId(IDC_TARN_LOCK, [this] { OnLockUnlock(); });
  OnCommandId(IDC_TARN_FORMAT, [this] { OnFormat(); });
  OnCommandId(IDC_TARN_OPEN, [this] { OnOpen(); });
}

BOOL CPageTarn::OnInitDialog() {
  CPage::OnInitDialog();
  m_progress.Attach(GetDlgItem(IDC_TARN_PROGRESS));
  return TRUE;
}

void CPageTarn::DoDataExchange(CDataExchange* pDX) {
  DDX_Text(pDX, IDC_TARN_TOTAL, m_total);
  DDX_Text(pDX, IDC_TARN_USED, m_used);
  DDX_Text(pDX, IDC_TARN_FREE, m_free);
  DDX_Text(pDX, IDC_TARN_CAPTION, m_caption);
  DDX_Text(pDX, IDC_TARN_FS, m_fileSystem);
  DDX_Text(pDX, IDC_TARN_CANENCRYPT, m_canEncrypt);
  DDX_Text(pDX, IDC_TARN_DRIVETYPE, m_driveType);
}

long CPageTarn::QueryState(int64_t* total) {
  int64_t t = 0;
  int64_t f = 0;
  long status = m_system.SvcQueryDrive(DevicePath().c_str(), m_drive.c_str(), &t, &f);
  if (total) *total = t;
  return status;
}

void CPageTarn::Refresh(const std::string& drive) {
  m_drive = drive;
  int64_t serviceTotal = 0;
  int64_t serviceFree = 0;
  long status = m_system.SvcQueryDrive(DevicePath().c_str(), m_drive.c_str(), &serviceTotal, &serviceFree);

  uint64_t available = 0, total = 0, free = 0;
  if (m_system.GetDiskFreeSpaceExA(m_drive.c_str(), &available, &total, &free)) {
    m_total = FormatSizeText(total);
    m_free = FormatSizeText(free);
    // A file system never reports more free than total; guard the
    // subtraction anyway so a bad answer cannot wrap around.
    m_used = FormatSizeText(total >= free ? total - free : 0);
  } else {
    // A locked drive has no readable file system: the service's size.
    m_total = FormatSizeText(serviceTotal > 0 ? static_cast<uint64_t>(serviceTotal) : 0);
    m_free = m_total;
    m_used = FormatSizeText(0);
  }

  for (char& c : m_drive) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string root = m_drive + "\\";
  std::string shortName = m_drive.substr(0, 2);
  char label[128] = {};
  char fileSystem[128] = {};
  DWORD serial = 0, maxComponent = 0, flags = 0;
  if (m_system.GetVolumeInformationA(root.c_str(), label, sizeof(label), &serial, &maxComponent, &flags, fileSystem,
                                     sizeof(fileSystem))) {
    label[sizeof(label) - 1] = fileSystem[sizeof(fileSystem) - 1] = '\0';
    m_fileSystem = fileSystem;
    m_caption = "Drive " + shortName + "(" + (label[0] ? std::string(label) : std::string("NoName")) + ")";
  } else {
    m_fileSystem = "Unknown";
    m_caption = "Drive " + shortName + "(Unknown)";
  }

  char systemDir[MAX_PATH] = {};
  m_system.GetSystemDirectoryA(systemDir, sizeof(systemDir));
  CWnd* encrypt = GetDlgItem(IDC_TARN_ENCRYPT);
  CWnd* lock = GetDlgItem(IDC_TARN_LOCK);
  CWnd* format = GetDlgItem(IDC_TARN_FORMAT);
  // Open: the files of a drive that is not locked, for Linux programs.
  const int openState = status & 0xF;
  GetDlgItem(IDC_TARN_OPEN)->EnableWindow(m_fileSystem != "Unknown" && (openState == 0 || openState == 1));
  if (systemDir[0] && !m_drive.empty() &&
      std::toupper(static_cast<unsigned char>(systemDir[0])) == static_cast<unsigned char>(m_drive[0])) {
    m_driveType = "System";
    m_canEncrypt = "No";
    encrypt->SetWindowText("Encrypt");
    lock->SetWindowText("Lock");
    format->SetWindowText("Enc Format");
    encrypt->EnableWindow(FALSE);
    lock->EnableWindow(FALSE);
    format->EnableWindow(FALSE);
  } else {
    int state = status & 0xF;
    const char* encryptText = "Encrypt";
    const char* lockText = "Lock";
    const char* formatText = "Enc Format";
    m_canEncrypt = "No";
    if (state == 2) {
      m_driveType = "Locked";
      encryptText = "Decrypt";
      lockText = "Unlock";
      formatText = "Dec Format";
    } else if (state == 1) {
      m_driveType = "Encrypted";
      encryptText = "Decrypt";
      formatText = "Dec Format";
    } else if (state == 3) {
      m_driveType = "Unknown";
    } else {
      m_driveType = "Normal";
      m_canEncrypt = "Yes";
    }
    encrypt->SetWindowText(encryptText);
    lock->SetWindowText(lockText);
    format->SetWindowText(formatText);
    encrypt->EnableWindow((status & 0x50000) != 0);
    format->EnableWindow((status & 0x50000) != 0);
    lock->EnableWindow((status & 0xA0000) != 0);
    // A conversion cut short is finished before anything else is done.
    CONVERSION_STATE conversion;
    if (Interrupted(&conversion)) {
      m_driveType = InterruptedText(conversion);
      m_canEncrypt = "No";
      encrypt->SetWindowText("Resume");
      encrypt->EnableWindow(TRUE);
      lock->EnableWindow(FALSE);
      format->EnableWindow(FALSE);
      // Half its chunks are in the other form: its files are not for opening.
      GetDlgItem(IDC_TARN_OPEN)->EnableWindow(FALSE);
    }
  }
  Invalidate(TRUE);
  UpdateData(FALSE);
}

void CPageTarn::OnResume() {
  CONVERSION_STATE conversion;
  if (!Interrupted(&conversion)) return;
  std::string password;
  if (conversion.Encrypt && conversion.ChunksDone == 0) {
    // Nothing is stored under the password yet: it is a new one.
    CEncryptPasswordDlg dialog(this);
    if (dialog.DoModal() != IDOK) return;
    password = dialog.GetPassword();
  } else {
    CPasswordDlg dialog(this);
    if (dialog.DoModal() != IDOK) return;
    password = dialog.GetPassword();
  }
  long r = m_system.SvcResumeConversion(DevicePath().c_str(), password.c_str(), 0);
  if (r == TARNSVC_RESUME_UNVERIFIED &&
      Confirm("The password cannot be checked: no file system was recognised on this drive. A wrong password "
              "would garble what is left to convert. Resume with it?"))
    r = m_system.SvcResumeConversion(DevicePath().c_str(), password.c_str(), 1);
  Wipe(password);
  if (r == TARNSVC_RESUME_UNVERIFIED) return;
  if (r == 86) {  // ERROR_INVALID_PASSWORD
    Say("The password is wrong; nothing was written.");
    return;
  }
  if (r != 0) {
    Say(Hex("Can't resume this drive, error code %X", r));
    return;
  }
  m_watch.Begin();
  EnableWindow(FALSE);
  m_direction = conversion.Encrypt ? 1 : 0;
  StartProgress(m_progress, conversion.Encrypt ? 0 : 1);
}

void CPageTarn::OnEncryptDecrypt() {
  CONVERSION_STATE conversion;
  if (Interrupted(&conversion)) {
    OnResume();
    return;
  }
  int64_t total = 0;
  int state = QueryState(&total) & 0xF;
  uint64_t size = total > 0 ? static_cast<uint64_t>(total) : 0;
  if (state == 0) {
    if (!Confirm(ConversionQuestion(m_drive, size, true))) return;
    CEncryptPasswordDlg dialog(this);
    if (dialog.DoModal() != IDOK) return;
    EnableWindow(FALSE);
    m_watch.Begin();
    Wipe(m_password);
    m_password = dialog.GetPassword();
    m_direction = 1;
    long r = m_system.SvcStartDriveConversion(DevicePath().c_str(), 1, m_password.c_str());
    if (r != 0) {
      m_watch.End();
      EnableWindow(TRUE);
      Say(Hex("Can't encrypt this drive, error code %X", r));
      return;
    }
    StartProgress(m_progress, 0);
  } else if (state == 1) {
    if (!Confirm(ConversionQuestion(m_drive, size, false))) return;
    m_watch.Begin();
    EnableWindow(FALSE);
    m_direction = 0;
    long r = m_system.SvcStartDriveConversion(DevicePath().c_str(), 0, m_password.c_str());
    if (r != 0) {
      m_watch.End();
      EnableWindow(TRUE);
      Say(Hex("Can't decrypt this drive, error code %X", r));
      return;
    }
    StartProgress(m_progress, 1);
  } else {
    char text[64];
    std::snprintf(text, sizeof(text), "Take drive information error %d!", state);
    Say(text);
  }
}

void CPageTarn::OnProgressTimer(UINT_PTR timer) {
  if (!HasTimer(timer)) return;
  m_progress.SetPos(static_cast<int>(m_system.SvcGetProgress()));
  if (m_system.SvcGetFinished() != 0) {
    KillTimer(timer);
    long result = m_system.SvcGetResult();
    if (result != 0) {
      Say(LastMessage());
    } else {
      m_progress.SetPos(100);
      Say(timer == 0 ? "Encrypt disk complete!" : "Decrypt disk complete!");
    }
    SendToMain(WM_COMMAND, ID_REFRESH, 0);
    m_progress.SetPos(0);
    EnableWindow(TRUE);
    m_watch.End();
    SendToMain(WM_ENABLENAV, 1);
  }
  m_progress.RedrawWindow(RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

void CPageTarn::OnLockUnlock() {
  int state = QueryState() & 0xF;
  if (state == 2) {
    CPasswordDlg dialog(this);
    if (dialog.DoModal() == IDOK) {
      std::string password = dialog.GetPassword();
      long r = m_system.SvcUnlockDrive(m_drive.c_str(), password.c_str(), 0);
      Wipe(password);
      if (r != 0)
        Say(Hex("Shroudkeep encounter an error %x while unlock the disk, the drive may be in use !", r));
      Refresh(m_drive);
    }
    EnableWindow(TRUE);
  } else if (state == 1) {
    CWaitCursor wait;
    CWnd* lock = GetDlgItem(IDC_TARN_LOCK);
    lock->EnableWindow(FALSE);
    long r = m_system.SvcLockDrive(m_drive.c_str());
    // 32: files under the drive's Linux view are open; the service names where.
    const std::string why = r == 32 ? LastMessage() : std::string();
    if (!why.empty()) Say(why);
    else if (r != 0) Say(Hex("Can't lock this drive, the drive may be in use, error code %X", r));
    lock->EnableWindow(TRUE);
    Refresh(m_drive);
  }
}

void CPageTarn::OnOpen() {
  std::string message;
  CWaitCursor wait;
  if (m_system.OpenDriveFiles(m_drive.c_str(), &message) != ERROR_SUCCESS) Say(message);
}

void CPageTarn::OnFormat() {
  int state = QueryState() & 0xF;
  if (state == 0) {
    if (!Confirm(kQuickEncryptQuestion)) return;
    CEncryptPasswordDlg dialog(this);
    if (dialog.DoModal() != IDOK) return;
    Wipe(m_password);
    m_password = dialog.GetPassword();
    if (m_system.SvcQuickEncryptDrive(DevicePath().c_str(), m_password.c_str()) != 0) {
      Say("Can't quick encrypt this disk!");
      return;
    }
    if (m_system.SvcUnlockDrive(m_drive.c_str(), m_password.c_str(), 0) != 0) {
      Say("Can't unlock this disk!");
      return;
    }
    OpenFormatDialog();
  } else if (state == 1) {
    if (!Confirm(kQuickDecryptQuestion)) return;
    long r = m_system.SvcQuickDecryptDrive(DevicePath().c_str());
    if (r != 0) {
      Say(Hex("Can't quick decrypt this disk, error code %X", r));
      return;
    }
    OpenFormatDialog();
  }
}

void CPageTarn::OpenFormatDialog() {
  if (m_drive.empty()) return;
  UINT number = static_cast<UINT>(std::toupper(static_cast<unsigned char>(m_drive[0])) - 'A');
  SHFormatDrive(m_hWnd, number, SHFMT_ID_DEFAULT, SHFMT_OPT_FULL);
  Refresh(m_drive);
  SendToMain(WM_COMMAND, ID_REFRESH, 0);
}
