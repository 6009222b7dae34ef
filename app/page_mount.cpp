// The Mount page: an image file mounted as a virtual drive on a chosen
// letter (and unlocked with the typed password), or unmounted again.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "app/pages.h"
#include "app/resource.h"

namespace {
std::string Hex(const char* format, long code) {
  char text[256];
  std::snprintf(text, sizeof(text), format, static_cast<unsigned>(code));
  return text;
}
constexpr const char* kMountError = "Mount error %X, file can not be opened or too many virtual drives mounted.";
constexpr const char* kUnmountError =
    "Unmount error %X, the drive may be in use, please close some applications and retry.";
}  // namespace

CPageMount::CPageMount(TarnSystemCalls& system, CWnd* parent) : CPage(IDD_PAGE_MOUNT, system, parent) {
  OnCommandId(IDC_MNT_DISK, [this] { UpdateData(TRUE); });
  OnCommandId(IDC_MNT_CD, [this] { UpdateData(TRUE); });
  OnCommandId(IDC_MNT_BROWSE, [this] { OnBrowse(); });
  OnCommandId(IDC_MNT_REFRESH, [this] { RefreshList(); });
  OnCommandId(IDOK, [this] { OnMountUnmount(); });
}

BOOL CPageMount::OnInitDialog() {
  CPage::OnInitDialog();
  m_letters.Attach(GetDlgItem(IDC_MNT_LETTER));
  RefreshList();
  return TRUE;
}

void CPageMount::DoDataExchange(CDataExchange* pDX) {
  DDX_Radio(pDX, IDC_MNT_DISK, m_kind);
  DDX_Text(pDX, IDC_MNT_PATH, m_path);
  DDV_MaxChars(pDX, m_path, MAX_PATH);
  DDX_Text(pDX, IDC_MNT_PASSWORD, m_password);
  DDV_MaxChars(pDX, m_password, 32);
}

BOOL CPageMount::OnCommand(WPARAM wParam, LPARAM lParam) {
  if (LOWORD(wParam) == IDC_MNT_LETTER) {
    if (HIWORD(wParam) == CBN_SELCHANGE) ShowSelection();
    return TRUE;
  }
  return CPage::OnCommand(wParam, lParam);
}

char CPageMount::ChosenLetter() const {
  std::string text = m_letters.GetWindowText();
  size_t start = text.find_first_not_of(" \t");
  return start == std::string::npos ? 0 : static_cast<char>(std::toupper(static_cast<unsigned char>(text[start])));
}

std::vector<std::string> CPageMount::Letters() const {
  std::vector<std::string> entries;
  for (int i = 0; i < m_letters.GetCount(); ++i) entries.push_back(m_letters.GetLBText(i));
  return entries;
}

void CPageMount::RefreshList() {
  char remembered = ChosenLetter();
  int select = 0;
  m_letters.ResetContent();
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    if (letter == remembered) select = m_letters.GetCount();
    char device[8];
    std::snprintf(device, sizeof(device), "\\\\.\\%c:", letter);
    HANDLE h = m_system.CreateFileA(device, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                    FILE_FLAG_NO_BUFFERING);
    char entry[16];
    if (h == INVALID_HANDLE_VALUE) {
      std::snprintf(entry, sizeof(entry), "%c:", letter);
      m_letters.AddString(entry);
      continue;
    }
    VDISK_MOUNT_RECORD record{};
    if (m_system.SvcQueryMount(letter, &record) == 0) {
      std::snprintf(entry, sizeof(entry), "%2c: Mounted", letter);
      m_letters.AddString(entry);
    }
    m_system.CloseHandle(h);
  }
  m_letters.SetCurSel(select);
  ShowSelection();
}

void CPageMount::ShowSelection() {
  char letter = ChosenLetter();
  VDISK_MOUNT_RECORD record{};
  bool mounted = letter && m_system.SvcQueryMount(letter, &record) == 0;
  if (mounted) {
    SetDlgItemText(IDOK, "&Unmount");
    m_path = RecordFileName(record);
    if (m_path.size() > MAX_PATH) m_path.resize(MAX_PATH);
    m_kind = record.DiskKind == 2 ? 1 : 0;
  } else {
    SetDlgItemText(IDOK, "&Mount");
    m_path.clear();
    std::fill(m_password.begin(), m_password.end(), '\0');
    m_password.clear();
    m_kind = 0;
  }
  for (int id : {IDC_MNT_DISK, IDC_MNT_CD, IDC_MNT_PATH, IDC_MNT_BROWSE, IDC_MNT_PASSWORD})
    if (CWnd* control = GetDlgItem(id)) control->EnableWindow(!mounted);
  UpdateData(FALSE);
}

void CPageMount::OnBrowse() {
  if (!UpdateData(TRUE)) return;
  const char* filter = m_kind == 0 ? "Disk Image Files (*.img)|*.img|All Files (*.*)|*.*||"
                                   : "CD Image Files (*.iso)|*.iso|All Files (*.*)|*.*||";
  CFileDialog dialog(TRUE, nullptr, nullptr, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, filter, this);
  if (dialog.DoModal() != IDOK) return;
  m_path = dialog.GetPathName();
  UpdateData(FALSE);
}

void CPageMount::OnMountUnmount() {
  char letter = ChosenLetter();
  if (!letter) return;
  VDISK_MOUNT_RECORD record{};
  if (m_system.SvcQueryMount(letter, &record) != 0) {
    std::memset(&record, 0, sizeof(record));
    if (!UpdateData(TRUE)) return;
    if (m_path.empty()) {
      Say("Please input image file path to mount!");
      return;
    }
    record.DiskSize = 0;
    record.DiskKind = m_kind == 1 ? 2 : 0;
    record.DriveLetter = letter;
    if (!SetRecordFileName(record, m_path)) {
      // Only a path of multibyte characters can get here past the 260 limit.
      Say(Hex(kMountError, 206 /* ERROR_FILENAME_EXCED_RANGE */));
      return;
    }
    long r = 0;
    for (long device = 0; device < 8; ++device) {
      r = m_system.SvcMountImage(device, &record, letter);
      if (r == 0) break;
    }
    if (r != 0) {
      Say(Hex(kMountError, r));
      return;
    }
    std::string root{letter, ':'};
    char devicePath[8];
    std::snprintf(devicePath, sizeof(devicePath), "\\\\.\\%c:", letter);
    int64_t total = 0, free = 0;
    std::string chosen = m_letters.GetWindowText();
    if ((m_system.SvcQueryDrive(devicePath, chosen.c_str(), &total, &free) & 0xF) == 2)
      m_system.SvcUnlockDrive(chosen.c_str(), m_password.c_str(), 0);
    RefreshList();
    Say("Mount success");
  } else {
    long r = m_system.SvcUnmountImage(letter);
    if (r != 0) {
      // 32: files under the drive's Linux view are open; the service names where.
      const std::string why = r == 32 ? LastMessage() : std::string();
      Say(why.empty() ? Hex(kUnmountError, r) : why);
      return;
    }
    RefreshList();
    Say("Unmount success");
  }
}
