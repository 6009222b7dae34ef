// The main window's tray part: the icon's callback, the tray menu with its
// unmount submenu, mounting from the tray, Options and Exit.
#include <QCursor>
#include <QWidget>
#include <cstdio>
#include <cstring>

#include "app/option_dlg.h"
#include "app/pages.h"
#include "app/resource.h"
#include "app/settings.h"
#include "app/tarn_dlg.h"

namespace {
constexpr const char* kMountError = "Mount error %X, file can not be opened or too many virtual drives mounted.";
constexpr const char* kUnmountError =
    "Unmount error %X, the drive may be in use, please close some applications and retry.";

std::string Hex(const char* format, long code) {
  char text[256];
  std::snprintf(text, sizeof(text), format, static_cast<unsigned>(code));
  return text;
}
}  // namespace

void CTarnDlg::TrayIconIfShown(DWORD message) {
  if (SettingOn(m_system, kShowTrayIcon)) Shell_NotifyIconA(message, &m_trayIcon);
}

void CTarnDlg::OnTrayIcon(LPARAM mouse) {
  if (mouse == WM_LBUTTONDBLCLK) {
    if (IsWindowVisible()) {
      ShowWindow(SW_HIDE);
    } else {
      ShowWindow(SW_RESTORE);
      ShowWindow(SW_SHOW);
      if (m_widget) m_widget->activateWindow();
    }
  } else if (mouse == WM_RBUTTONUP) {
    OpenTrayMenu();
  }
}

void CTarnDlg::OpenTrayMenu() {
  QPoint at = QCursor::pos();
  if (m_widget && IsWindowVisible()) m_widget->activateWindow();
  CMenu menu;
  if (!menu.LoadMenu(IDR_TRAYMENU)) return;
  CMenu* popup = menu.GetSubMenu(0);
  if (!popup) return;
  CMenu unmount;
  unmount.CreatePopupMenu();
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    char device[8];
    std::snprintf(device, sizeof(device), "\\\\.\\%c:", letter);
    HANDLE h = m_system.CreateFileA(device, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                    FILE_FLAG_NO_BUFFERING);
    if (h == INVALID_HANDLE_VALUE) continue;
    VDISK_MOUNT_RECORD record{};
    if (m_system.SvcQueryMount(letter, &record) == 0) {
      char text[400];
      std::snprintf(text, sizeof(text), "Unmount %2c:(%s)", letter, RecordFileName(record).c_str());
      unmount.AppendMenu(MF_STRING, ID_TRAY_UNMOUNT_BASE + static_cast<UINT>(letter), text);
    }
    m_system.CloseHandle(h);
  }
  if (unmount.GetMenuItemCount() > 0) {
    popup->InsertMenu(4, MF_BYPOSITION | MF_SEPARATOR);
    popup->InsertMenu(5, MF_BYPOSITION | MF_POPUP, &unmount, "&Unmount Drives");
  }
  popup->TrackPopupMenu(TPM_RIGHTBUTTON, at.x(), at.y(), this);
  PostMessage(WM_NULL);
}

char CTarnDlg::FindFreeDriveLetter() {
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    char device[8];
    std::snprintf(device, sizeof(device), "\\\\.\\%c:", letter);
    HANDLE h = m_system.CreateFileA(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    OPEN_EXISTING, FILE_FLAG_NO_BUFFERING);
    if (h == INVALID_HANDLE_VALUE) return letter;
    m_system.CloseHandle(h);
  }
  return 0;
}

void CTarnDlg::OnTrayMount(bool cd) {
  const char* filter = cd ? "CD Image Files (*.iso)|*.iso|All Files (*.*)|*.*||"
                          : "Disk Image Files (*.img)|*.img|All Files (*.*)|*.*||";
  CFileDialog dialog(TRUE, nullptr, nullptr, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, filter, this);
  if (dialog.DoModal() != IDOK) return;
  char letter = FindFreeDriveLetter();
  if (!letter) {
    // Every letter from D to Z is taken: say so rather than ask the
    // service to mount on no letter at all.
    AfxMessageBox("Mount error: no free drive letter from D: to Z:.", MB_OK);
    return;
  }
  VDISK_MOUNT_RECORD record{};
  record.DiskKind = cd ? 2 : 0;
  record.DriveLetter = letter;
  if (!SetRecordFileName(record, dialog.GetPathName())) {
    AfxMessageBox(Hex(kMountError, 206 /* ERROR_FILENAME_EXCED_RANGE */), MB_OK);
    return;
  }
  long r = 0;
  for (long device = 0; device < 8; ++device) {
    r = m_system.SvcMountImage(device, &record, letter);
    if (r == 0) {
      AfxMessageBox("Mount success", MB_OK);
      return;
    }
  }
  AfxMessageBox(Hex(kMountError, r), MB_OK);
}

void CTarnDlg::OnTrayUnmount(UINT id) {
  long r = m_system.SvcUnmountImage(static_cast<int>(id & 0xFF));
  if (r == 0)
    AfxMessageBox("Unmount success", MB_OK);
  else
    AfxMessageBox(Hex(kUnmountError, r), MB_OK);
}

void CTarnDlg::OnOption() {
  EnableWindow(FALSE);
  {
    COptionDlg dialog(m_system, this);
    if (dialog.DoModal() == IDOK) {
      bool on = dialog.ShowTray != 0;
      Shell_NotifyIconA(on ? NIM_ADD : NIM_DELETE, &m_trayIcon);
      WriteSettingDword(m_system, kAppKey, kShowTrayIcon, on ? 1 : 0);
    }
  }
  EnableWindow(TRUE);
}

void CTarnDlg::OnTrayExit() {
  if (Busy) {
    AfxMessageBox(kExitRefused, MB_OK);
    return;
  }
  TrayIconIfShown(NIM_DELETE);
  EndDialog(0);
}
