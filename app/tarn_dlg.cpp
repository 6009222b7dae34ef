#include "app/tarn_dlg.h"

#include <QCoreApplication>
#include <QCursor>
#include <QFileInfo>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/about_dlg.h"
#include "app/password_dlg.h"
#include "app/resource.h"
#include "app/wait_rpc_dialog.h"

namespace {
std::string Format(const char* format, const std::string& text) {
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), format, text.c_str());
  return buffer;
}
}  // namespace

CTarnDlg::CTarnDlg(TarnSystemCalls& system, CWnd* parent) : CDialog(IDD_MAIN, parent), m_system(system) {
  OnCommandId(ID_HDR_ABOUT, [this] { OnAbout(); });
  OnCommandId(ID_HDR_HELP, [this] { OnHelp(); });
  OnCommandId(ID_HDR_OPTION, [this] { OnOption(); });
  OnCommandId(ID_REFRESH, [this] {
    RebuildDriveList();
    std::string drive = CurrentDrive;
    m_pageTarn->SendMessage(WM_SETDRIVE, reinterpret_cast<WPARAM>(drive.c_str()), 0);
  });
  OnCommandId(ID_PHYSICALDISK, [this] {
    NavMode = 0;
    RebuildDriveList();
  });
  OnCommandId(ID_CDENCRYPTION, [this] {
    NavMode = 1;
    RebuildDriveList();
  });
  OnCommandId(ID_PRIVATEDISK, [this] {
    NavMode = 2;
    RebuildDriveList();
  });
  OnCommandId(ID_ENCRYPTCDIMAGE, [this] {
    m_pageImageEnc->SetEncryptMode(1);
    ShowOnly(m_pageImageEnc.get());
  });
  OnCommandId(ID_DECRYPTCDIMAGE, [this] {
    m_pageImageDec->SetEncryptMode(0);
    ShowOnly(m_pageImageDec.get());
  });
  OnCommandId(ID_MAKEIMAGE, [this] { ShowOnly(m_pageCreateImage.get()); });
  OnCommandId(ID_MOUNTUNMOUNT, [this] { ShowOnly(m_pageMount.get()); });
  OnCommandRange(ID_DRIVE_BASE, ID_DRIVE_LAST, [this](UINT id) { OnDriveChosen(id); });
  OnCommandId(ID_TRAY_SHOWWINDOW, [this] { ShowWindow(SW_SHOW); });
  OnCommandId(ID_TRAY_EXIT, [this] { OnTrayExit(); });
  OnCommandId(ID_TRAY_MOUNTDISK, [this] { OnTrayMount(false); });
  OnCommandId(ID_TRAY_MOUNTCD, [this] { OnTrayMount(true); });
  OnCommandId(ID_TRAY_OPTION, [this] { OnOption(); });
  // The fixed tray commands lie inside this range and keep their handlers.
  OnCommandRange(ID_TRAY_UNMOUNT_BASE, ID_TRAY_UNMOUNT_LAST, [this](UINT id) { OnTrayUnmount(id); });
  OnMessage(WM_ENDSESSION, [this](WPARAM w, LPARAM) -> LRESULT {
    // The session ends: so does the program, without asking.
    if (w) EndDialog(IDCANCEL);
    return 0;
  });

  OnMessage(WM_ENABLENAV, [this](WPARAM w, LPARAM) -> LRESULT {
    m_nav.EnableWindow(w != 0);
    Busy = w == 0;
    return 0;
  });
  OnMessage(WM_REFRESHLIST, [this](WPARAM, LPARAM) -> LRESULT {
    RebuildDriveList();
    return 1;
  });
  OnMessage(WM_DEVICECHANGE, [this](WPARAM w, LPARAM l) { return OnDeviceChange(w, l); });
  OnMessage(WM_TIMER, [this](WPARAM w, LPARAM) {
    OnServiceWatch(w);
    return 0;
  });
  OnMessage(WM_SYSCOMMAND, [this](WPARAM w, LPARAM l) -> LRESULT {
    if ((w & 0xFFF0) == IDM_ABOUTBOX) {
      OnAbout();
      return 0;
    }
    // Minimising hides the window: it lives on in the tray.
    if (w == SC_MINIMIZE) {
      ShowWindow(SW_HIDE);
      return 0;
    }
    return CDialog::DefWindowProc(WM_SYSCOMMAND, w, l);
  });
  OnMessage(WM_TRAYICON, [this](WPARAM, LPARAM l) -> LRESULT {
    OnTrayIcon(l);
    return 1;
  });
  OnMessage(WM_RELEASESHELL, [this](WPARAM, LPARAM) -> LRESULT {
    if (m_devNotify) m_system.UnregisterDeviceNotification(m_devNotify);
    m_devNotify = nullptr;
    TrayIconIfShown(NIM_DELETE);
    return 1;
  });
  OnMessage(WM_DESTROY, [this](WPARAM, LPARAM) {
    tarn::ui::SetDriveFormatter(nullptr);
    if (m_devNotify) m_system.UnregisterDeviceNotification(m_devNotify);
    m_devNotify = nullptr;
    TrayIconIfShown(NIM_DELETE);
    return 0;
  });
}

CTarnDlg::~CTarnDlg() { DestroyWindow(); }

BOOL CTarnDlg::OnInitDialog() {
  CDialog::OnInitDialog();

  // The window menu gets the About entry.
  const char* aboutText = "&About Shroudkeep...";
  if (*aboutText) {
    CMenu* systemMenu = GetSystemMenu(FALSE);
    systemMenu->AppendMenu(MF_SEPARATOR);
    systemMenu->AppendMenu(MF_STRING, IDM_ABOUTBOX, aboutText);
  }

  RECT pageArea;
  GetDlgItem(IDC_PAGEAREA)->GetWindowRect(&pageArea);
  m_pageTarn = std::make_unique<CPageTarn>(m_system, this);
  m_pageImageEnc = std::make_unique<CPageImageEnc>(IDD_PAGE_IMAGEENC, m_system, this);
  m_pageImageDec = std::make_unique<CPageImageEnc>(IDD_PAGE_IMAGEDEC, m_system, this);
  m_pageCreateImage = std::make_unique<CPageCreateImage>(m_system, this);
  m_pageMount = std::make_unique<CPageMount>(m_system, this);
  for (CPage* page : {static_cast<CPage*>(m_pageTarn.get()), static_cast<CPage*>(m_pageImageEnc.get()),
                      static_cast<CPage*>(m_pageImageDec.get()), static_cast<CPage*>(m_pageCreateImage.get()),
                      static_cast<CPage*>(m_pageMount.get())}) {
    page->Create(0, this);
    page->MoveWindow(pageArea, TRUE);
  }
  m_pageTarn->ShowWindow(SW_SHOW);

  m_hIcon = LoadIcon(IDR_MAINFRAME);
  SetIcon(m_hIcon, TRUE);
  SetIcon(m_hIcon, FALSE);

  m_background = LoadBitmap(IDB_BACKGROUND);
  m_background2 = LoadBitmap(IDB_BACKGROUND2);
  SetBackgroundPattern(m_background);

  m_imageList.Create(16, 16, ILC_COLOR32 | ILC_MASK, 5, 1);
  for (UINT icon : {IDI_REFRESH, IDI_DISK, IDI_PRIVATEDISK, IDI_CDDRIVE, IDI_CDDRIVE_ENC, IDI_MOUNT, IDI_CDIMAGE_DEC,
                    IDI_NAV_148, IDI_NAV_155, IDI_NAV_150})
    m_imageList.Add(LoadIcon(icon));

  m_trayIcon.cbSize = 504;
  m_trayIcon.hWnd = m_hWnd;
  m_trayIcon.uID = 100;
  m_trayIcon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  m_trayIcon.uCallbackMessage = WM_TRAYICON;
  m_trayIcon.hIcon = m_hIcon;
  std::strncpy(m_trayIcon.szTip, "Orvantis Shroudkeep", sizeof(m_trayIcon.szTip) - 1);
  TrayIconIfShown(NIM_ADD);

  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = 32;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = GUID_DEVINTERFACE_VOLUME;
  m_devNotify = m_system.RegisterDeviceNotificationA(m_hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (!m_devNotify) {
    char text[64];
    std::snprintf(text, sizeof(text), "RegisterDeviceNotification failed: %d\n",
                  static_cast<int>(m_system.GetLastError()));
    MessageBox(text, "Registration", MB_OK);
  }

  RECT navArea;
  GetDlgItem(IDC_NAVAREA)->GetWindowRect(&navArea);
  m_nav.Create(navArea, this, IDC_NAVPANEL);
  m_nav.SetStyle(4);
  m_nav.RemoveAll();
  int operations = m_nav.AddGroup("Operations");
  m_nav.AddItem(operations, "Refresh", ID_REFRESH);
  m_nav.SetItemImage(operations, 0, 0);
  m_nav.AddItem(operations, "Physical Disk", ID_PHYSICALDISK);
  m_nav.SetItemImage(operations, 1, 1);
  m_nav.AddItem(operations, "Private Disk", ID_PRIVATEDISK);
  m_nav.SetItemImage(operations, 2, 2);
  m_nav.AddItem(operations, "CD Encryption", ID_CDENCRYPTION);
  m_nav.SetItemImage(operations, 3, 3);
  m_nav.SetImageList(m_imageList);

  m_about.SubclassDlgItem(ID_HDR_ABOUT, this);
  m_about.SetBitmap(LoadBitmap(IDB_HDR_ABOUT));
  m_help.SubclassDlgItem(ID_HDR_HELP, this);
  m_help.SetBitmap(LoadBitmap(IDB_HDR_HELP));
  m_option.SubclassDlgItem(ID_HDR_OPTION, this);
  m_option.SetBitmap(LoadBitmap(IDB_HDR_OPTION));

  // The shell's format dialog writes through the machine.
  tarn::ui::SetDriveFormatter([this](char letter, const std::string& fs, const std::string& label) {
    return m_system.FormatDrive(letter, fs.c_str(), label.c_str());
  });

  RebuildDriveList();
  SetTimer(0, 500);
  return TRUE;
}

void CTarnDlg::RebuildDriveList() {
  CWaitCursor wait;
  m_nav.RemoveGroup(1);
  m_nav.RemoveGroup(1);
  int driveGroup = -1;
  if (NavMode == 0) {
    driveGroup = m_nav.AddGroup("Disk Encryption");
  } else if (NavMode == 1) {
    driveGroup = m_nav.AddGroup("CD Encryption");
    int images = m_nav.AddGroup("Images Encryption");
    m_nav.AddItem(images, "Encrypt CD Image", ID_ENCRYPTCDIMAGE);
    m_nav.SetItemImage(images, 0, 3);
    m_nav.AddItem(images, "Decrypt CD Image", ID_DECRYPTCDIMAGE);
    m_nav.SetItemImage(images, 1, 6);
  } else if (NavMode == 2) {
    int operation = m_nav.AddGroup("Operation");
    m_nav.AddItem(operation, "Make Image", ID_MAKEIMAGE);
    m_nav.SetItemImage(operation, 0, 4);
    m_nav.AddItem(operation, "Mount/Unmount", ID_MOUNTUNMOUNT);
    m_nav.SetItemImage(operation, 1, 5);
  }

  for (char letter = 'a'; letter <= 'z'; ++letter) {
    std::string root{letter, ':'};
    UINT type = m_system.GetDriveTypeA(root.c_str());
    if (type == DRIVE_NO_ROOT_DIR || type == DRIVE_REMOTE) continue;
    std::string device = "\\\\.\\" + root;
    int64_t total = 0;
    int64_t free = 0;
    long status = m_system.SvcQueryDrive(device.c_str(), root.c_str(), &total, &free);
    int state = status & 0xF;
    if (type == DRIVE_CDROM && state == 3) continue;
    std::string label;
    CONVERSION_STATE conversion{};
    if (m_system.SvcQueryConversion(device.c_str(), &conversion) == 0 && !conversion.Running)
      label = root + " " + InterruptedText(conversion);
    else if (status & 0xE0000)
      label = Format("%s Encrypted", root);
    else if (status & 0x10000)
      label = Format("%s Normal", root);
    else
      label = Format("%s  NotSupported", root);
    bool cd = type == DRIVE_CDROM;
    if ((cd && NavMode != 1) || (!cd && NavMode != 0) || driveGroup < 0) continue;
    m_nav.AddItem(driveGroup, label, ID_DRIVE_BASE + static_cast<UINT>(letter));
    int image = cd ? ((state == 1 || state == 2) ? 4 : 3) : ((state == 1 || state == 2) ? 2 : 1);
    int index = static_cast<int>(m_nav.GetGroup(driveGroup)->Items().size()) - 1;
    m_nav.SetItemImage(driveGroup, index, image);
  }

  // The first rebuild shows drive C:, whether or not there is one.
  if (CurrentDrive.empty()) OnDriveChosen(ID_DRIVE_BASE + 'c');
}

void CTarnDlg::ShowOnly(CPage* page) {
  for (CPage* p : {static_cast<CPage*>(m_pageTarn.get()), static_cast<CPage*>(m_pageImageEnc.get()),
                   static_cast<CPage*>(m_pageImageDec.get()), static_cast<CPage*>(m_pageCreateImage.get()),
                   static_cast<CPage*>(m_pageMount.get())})
    p->ShowWindow(p == page ? SW_SHOW : SW_HIDE);
}

void CTarnDlg::OnDriveChosen(UINT id) {
  CurrentDrive = std::string{static_cast<char>(id - ID_DRIVE_BASE), ':'};
  ShowOnly(m_pageTarn.get());
  std::string drive = CurrentDrive;
  m_pageTarn->SendMessage(WM_SETDRIVE, reinterpret_cast<WPARAM>(drive.c_str()), 0);
}

void CTarnDlg::OnAbout() {
  CAboutDlg about(this);
  if (!about.Create(IDD_ABOUTBOX, this)) return;
  about.CenterWindow(this);
  about.ShowWindow(SW_SHOWNORMAL);
  EnableWindow(FALSE);
  about.RunModalLoop();
  EnableWindow(TRUE);
}

void CTarnDlg::OnHelp() {
  // Next to the program in a build; under share/doc in a system install.
  const std::string here = QCoreApplication::applicationDirPath().toStdString();
  std::string path = here + "/UserManual.html";
  if (!QFileInfo::exists(QString::fromStdString(path))) path = here + "/../share/doc/tarnvault/UserManual.html";
  ShellExecuteA(m_hWnd, "open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void CTarnDlg::OnServiceWatch(UINT_PTR id) {
  if (id != 0) return;
  if (m_system.SvcPing() == 0) return;
  KillTimer(0);
  if (GetStyle() & WS_VISIBLE) {
    CWaitRpcDialog wait(m_system, this);
    if (wait.DoModal() == IDCANCEL) EndDialog(IDCANCEL);
  }
  RebuildDriveList();
  SetTimer(0, 500);
}

LRESULT CTarnDlg::OnDeviceChange(WPARAM event, LPARAM data) {
  auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
  if (header && header->dbch_devicetype == DBT_DEVTYP_VOLUME) {
    auto* volume = reinterpret_cast<const DEV_BROADCAST_VOLUME*>(data);
    DWORD mask = volume->dbcv_unitmask & 0x3FFFFFF;
    if (mask != 0) {
      char letter = static_cast<char>('A' + __builtin_ctz(mask));
      if (event == DBT_DEVICEARRIVAL && (volume->dbcv_flags & DBTF_MEDIA)) {
        std::string root{letter, ':'};
        std::string device = "\\\\.\\" + root;
        int64_t total = 0;
        int64_t free = 0;
        if ((m_system.SvcQueryDrive(device.c_str(), root.c_str(), &total, &free) & 0xF) == 2) AskAndUnlock(root, 0);
        RebuildDriveList();
      } else if (event == DBT_DEVICEREMOVECOMPLETE) {
        RebuildDriveList();
      }
    }
  } else if (header && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE && event == DBT_DEVICEARRIVAL) {
    auto* iface = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(data);
    std::string path = iface->dbcc_name;
    int64_t total = 0;
    int64_t free = 0;
    if ((m_system.SvcQueryDrive(path.c_str(), "", &total, &free) & 0xF) == 2) AskAndUnlock(path, 1);
  }
  return CDialog::DefWindowProc(WM_DEVICECHANGE, event, data);
}

void CTarnDlg::AskAndUnlock(const std::string& drive, long isFullPath) {
  if (::MessageBoxA(m_hWnd, kInsertedPrompt, "Shroudkeep", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) return;
  CPasswordDlg dialog(this);
  if (!dialog.Create(IDD_PASSWORD, this)) return;
  dialog.CenterWindow(this);
  dialog.ShowWindow(SW_SHOWNORMAL);
  EnableWindow(FALSE);
  if (dialog.RunModalLoop() == IDOK) {
    char password[64] = {};
    std::string typed = dialog.GetPassword();
    std::memcpy(password, typed.data(), std::min<size_t>(typed.size(), 32));
    std::fill(typed.begin(), typed.end(), '\0');
    m_system.SvcUnlockDrive(drive.c_str(), password, isFullPath);
    std::memset(password, 0, sizeof(password));
  }
  EnableWindow(TRUE);
  dialog.DestroyWindow();
}

