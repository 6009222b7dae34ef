#include "app/resources.h"

#include <QtGlobal>
#include <memory>

#include "app/resource.h"
#include "app/about_dlg.h"
#include "app/wait_rpc_dialog.h"
#include "platform/ui/afxwin.h"

namespace {

using K = ControlKind;
constexpr DWORD kPageStyle = WS_CHILD;

void RegisterDialogs() {
  DLGTEMPLATE main;
  main.id = IDD_MAIN;
  main.caption = "Orvantis Shroudkeep";
  main.cx = 401;
  main.cy = 265;
  main.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  main.exStyle = WS_EX_APPWINDOW;
  main.items = {
      {IDC_STATIC, K::StaticBitmap, "", 0, 0, 455, 30, SS_BITMAP, IDB_BANNER},
      {IDC_STATIC, K::StaticBitmap, "", 0, 28, 456, 16, SS_BITMAP, IDB_BAND},
      {IDC_DECORATION, K::StaticBitmap, "", 113, 43, 35, 246, SS_BITMAP, IDB_DECORATION},
      {ID_HDR_ABOUT, K::StaticBitmap, "", 296, 30, 32, 12, SS_BITMAP | SS_NOTIFY, IDB_HDR_ABOUT},
      {ID_HDR_HELP, K::StaticBitmap, "", 330, 30, 32, 12, SS_BITMAP | SS_NOTIFY, IDB_HDR_HELP},
      {ID_HDR_OPTION, K::StaticBitmap, "", 364, 30, 32, 12, SS_BITMAP | SS_NOTIFY, IDB_HDR_OPTION},
      {IDC_PAGEAREA, K::StaticFrame, "", 121, 45, 279, 220, 0, 0, true},
      {IDC_NAVAREA, K::StaticFrame, "", 0, 44, 113, 220, 0, 0, true},
  };
  tarn::ui::RegisterDialogTemplate(main);

  DLGTEMPLATE wait;
  wait.id = IDD_WAITRPC;
  wait.cx = 238;
  wait.cy = 54;
  wait.fontFace = "MS Sans Serif";
  wait.fontSize = 9;
  wait.style = WS_POPUP | DS_MODALFRAME;
  wait.items = {
      {IDC_STATIC, K::Static, kWaitRpcText, 7, 7, 224, 20},
      {IDCANCEL, K::PushButton, "&Exit Application", 168, 31, 63, 16},
  };
  tarn::ui::RegisterDialogTemplate(wait);

  DLGTEMPLATE password;
  password.id = IDD_PASSWORD;
  password.caption = "Shroudkeep";
  password.cx = 186;
  password.cy = 64;
  password.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
  password.items = {
      {IDC_STATIC, K::Static, "Enter The Password:", 7, 8, 172, 9},
      {IDC_PASSWORD, K::Edit, "", 7, 20, 172, 14, ES_PASSWORD | ES_AUTOHSCROLL},
      {IDOK, K::PushButton, "OK", 129, 42, 50, 15, BS_DEFPUSHBUTTON},
  };
  tarn::ui::RegisterDialogTemplate(password);

  DLGTEMPLATE encrypt;
  encrypt.id = IDD_ENCRYPTPASSWORD;
  encrypt.caption = "Encrypt";
  encrypt.cx = 212;
  encrypt.cy = 92;
  encrypt.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
  encrypt.items = {
      {IDC_STATIC, K::Static, "Enter password for the drive being encrypted.", 7, 8, 198, 9},
      {IDC_STATIC, K::Static, "Password:", 7, 28, 44, 9},
      {IDC_PASSWORD, K::Edit, "", 54, 26, 151, 14, ES_PASSWORD | ES_AUTOHSCROLL},
      {IDC_STATIC, K::Static, "Confirm:", 7, 48, 44, 9},
      {IDC_CONFIRM, K::Edit, "", 54, 46, 151, 14, ES_PASSWORD | ES_AUTOHSCROLL},
      {IDOK, K::PushButton, "OK", 155, 70, 50, 15, BS_DEFPUSHBUTTON},
  };
  tarn::ui::RegisterDialogTemplate(encrypt);

  DLGTEMPLATE about;
  about.id = IDD_ABOUTBOX;
  about.caption = "About Tarn";
  about.cx = 236;
  about.cy = 84;
  about.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
  about.items = {
      {IDC_STATIC, K::StaticBitmap, "", 11, 12, 24, 24, SS_BITMAP, IDR_MAINFRAME},
      {IDC_STATIC, K::Static, "Orvantis Shroudkeep Version 1.5", 44, 12, 180, 10},
      {IDC_ABOUT_HOMEPAGE, K::Static, "www.orvantis.example/shroudkeep", 44, 28, 180, 10, SS_NOTIFY},
      {IDC_ABOUT_SUPPORT, K::Static, kSupportText, 44, 42, 180, 10, SS_NOTIFY},
      {IDOK, K::PushButton, "OK", 179, 62, 50, 15, BS_DEFPUSHBUTTON},
  };
  tarn::ui::RegisterDialogTemplate(about);

  // The pages fill the page area (279 x 220) of the main window.
  auto page = [](UINT id, const char* face, int size) {
    DLGTEMPLATE t;
    t.id = id;
    t.cx = 279;
    t.cy = 220;
    t.fontFace = face;
    t.fontSize = size;
    t.style = kPageStyle;
    return t;
  };

  DLGTEMPLATE tarn = page(IDD_PAGE_TARN, "MS Sans Serif", 9);
  tarn.items = {
      {IDC_STATIC, K::GroupBox, "Disk Parameters", 7, 4, 265, 126},
      {IDC_TARN_CAPTION, K::Static, "", 15, 16, 250, 10},
      {IDC_TARN_CHART, K::StaticFrame, "", 18, 34, 88, 56, 0, 0, true},
      {IDC_TARN_LABEL_TOTAL, K::Static, "TotalSpace:", 130, 30, 60, 9},
      {IDC_TARN_TOTAL, K::Static, "", 130, 40, 140, 9},
      {IDC_TARN_LABEL_USED, K::Static, "UsedSpace:", 130, 53, 60, 9},
      {IDC_TARN_USED, K::Static, "", 130, 63, 140, 9},
      {IDC_TARN_LABEL_FREE, K::Static, "FreeSpace:", 130, 76, 60, 9},
      {IDC_TARN_FREE, K::Static, "", 130, 86, 140, 9},
      {IDC_STATIC, K::Static, "FS:", 15, 104, 16, 9},
      {IDC_TARN_FS, K::Static, "", 33, 104, 60, 9},
      {IDC_STATIC, K::Static, "DriveType:", 100, 104, 42, 9},
      // Wider than the original 50 units: "Interrupted: 37% encrypted" must fit.
      {IDC_TARN_DRIVETYPE, K::Static, "", 144, 104, 120, 9},
      {IDC_STATIC, K::Static, "Can Encrypted:", 15, 116, 58, 9},
      {IDC_TARN_CANENCRYPT, K::Static, "", 75, 116, 30, 9},
      {IDC_STATIC, K::GroupBox, "Encrypt/Decrypt Progress", 7, 134, 265, 32},
      {IDC_TARN_PROGRESS, K::Progress, "", 15, 147, 249, 11},
      {IDC_TARN_FORMAT, K::PushButton, "Enc Format", 212, 174, 60, 16},
      {IDC_TARN_LOCK, K::PushButton, "Lock", 148, 174, 60, 16},
      {IDC_TARN_ENCRYPT, K::PushButton, "Encrypt", 84, 174, 60, 16},
      {IDC_TARN_OPEN, K::PushButton, "Open", 20, 174, 60, 16},
  };
  tarn::ui::RegisterDialogTemplate(tarn);

  const char* note =
      "Note: After encrypt the iso file, you can mount it to a virtual cdrom by using virtual cd/dvd-rom "
      "emulator(such as \"DAEMON Tools\"), also you can directly burn it to cd/dvd by using such as \"NERO\". "
      "Then, you can use it as same as the disk. ";
  for (bool encrypt : {true, false}) {
    DLGTEMPLATE t = page(encrypt ? IDD_PAGE_IMAGEENC : IDD_PAGE_IMAGEDEC, "MS Sans Serif", 8);
    t.items = {
        {IDC_STATIC, K::GroupBox, encrypt ? "Encrypt cd/dvd image" : "Decrypt cd/dvd image", 7, 4, 265, 86},
        {IDC_STATIC, K::Static,
         encrypt ? "Please select a source cd/dvd image(.iso) path:"
                 : "Please select a source cd/dvd image(.enc.iso) path:",
         15, 17, 250, 9},
        {IDC_IMG_SOURCE, K::Edit, "", 15, 28, 200, 13, ES_AUTOHSCROLL},
        {IDC_IMG_BROWSE_SOURCE, K::PushButton, "Browse", 220, 28, 45, 13},
        {IDC_STATIC, K::Static,
         encrypt ? "Please select a destination cd/dvd image(.enc.iso) path:"
                 : "Please select a destination cd/dvd image(.iso) path:",
         15, 50, 250, 9},
        {IDC_IMG_DEST, K::Edit, "", 15, 61, 200, 13, ES_AUTOHSCROLL},
        {IDC_IMG_BROWSE_DEST, K::PushButton, "Browse", 220, 61, 45, 13},
        {IDC_STATIC, K::GroupBox, "", 7, 94, 265, 50},
        {IDC_STATIC, K::Static, note, 13, 103, 253, 38},
        {IDC_STATIC, K::GroupBox, "Progress", 7, 148, 265, 28},
        {IDC_IMG_PROGRESS, K::Progress, "", 15, 160, 249, 10},
        {IDOK, K::PushButton, encrypt ? "Encrypt" : "Decrypt", 212, 182, 60, 16, BS_DEFPUSHBUTTON},
    };
    tarn::ui::RegisterDialogTemplate(t);
  }

  DLGTEMPLATE create = page(IDD_PAGE_CREATEIMAGE, "MS Sans Serif", 9);
  create.items = {
      {IDC_CI_GROUP_FILE, K::GroupBox, "Image File", 7, 4, 265, 31},
      {IDC_CI_PATH, K::Edit, "", 15, 16, 200, 13, ES_AUTOHSCROLL},
      {IDC_CI_BROWSE, K::PushButton, "Browse", 220, 16, 45, 13},
      {IDC_CI_GROUP_OPTION, K::GroupBox, "Option", 7, 38, 265, 50},
      {IDC_STATIC, K::Static, "FileSize:", 15, 52, 36, 9},
      {IDC_CI_SIZE, K::Edit, "", 52, 50, 50, 13, ES_AUTOHSCROLL},
      {IDC_STATIC, K::Static, "M Bytes", 106, 52, 32, 9},
      {IDC_STATIC, K::Static, "Volume:", 146, 52, 32, 9},
      {IDC_CI_LABEL, K::Edit, "", 180, 50, 85, 13, ES_AUTOHSCROLL},
      {IDC_STATIC, K::Static, "&FileSystem:", 15, 71, 45, 9},
      {IDC_CI_FS, K::ComboDropList, "", 62, 69, 80, 60},
      {IDC_CI_GROUP_ADVANCE, K::GroupBox, "Advance Option", 7, 91, 265, 26},
      {IDC_CI_ENCRYPT, K::CheckBox, "Encrypte the image file after created.", 15, 102, 250, 10},
      {IDC_CI_GROUP_NOTE, K::GroupBox, "Note", 7, 120, 265, 26},
      {IDC_STATIC, K::Static, "For other filesystems, you can format it after mount as a disk.", 15, 131, 250, 10},
      {IDC_CI_GROUP_PROGRESS, K::GroupBox, "Progress", 7, 149, 265, 28},
      {IDC_CI_PROGRESS, K::Progress, "", 15, 161, 249, 10},
      {IDOK, K::PushButton, "Create", 212, 183, 60, 16, BS_DEFPUSHBUTTON},
  };
  tarn::ui::RegisterDialogTemplate(create);

  DLGTEMPLATE mount = page(IDD_PAGE_MOUNT, "MS Shell Dlg", 8);
  mount.items = {
      {IDC_STATIC, K::GroupBox, "Letter to mount", 7, 4, 265, 31},
      {IDC_MNT_LETTER, K::ComboDropList, "", 15, 16, 100, 80},
      {IDC_MNT_REFRESH, K::PushButton, "&Refresh", 125, 15, 50, 14},
      {IDC_STATIC, K::GroupBox, "From", 7, 38, 265, 28},
      {IDC_MNT_DISK, K::RadioButton, "&Virtual Disk Image", 15, 50, 110, 10, WS_GROUP},
      {IDC_MNT_CD, K::RadioButton, "&CD/DVD Image", 135, 50, 110, 10},
      {IDC_STATIC, K::GroupBox, "Image file path", 7, 69, 265, 31},
      {IDC_MNT_PATH, K::Edit, "", 15, 81, 200, 13, ES_AUTOHSCROLL},
      {IDC_MNT_BROWSE, K::PushButton, "Browse", 220, 81, 45, 13},
      {IDC_STATIC, K::GroupBox, "Password", 7, 103, 265, 42},
      {IDC_STATIC, K::Static, "Enter the password if the image file is encrypted:", 15, 115, 250, 9},
      {IDC_MNT_PASSWORD, K::Edit, "", 15, 126, 150, 13, ES_PASSWORD | ES_AUTOHSCROLL},
      {IDOK, K::PushButton, "&Mount", 212, 152, 60, 16, BS_DEFPUSHBUTTON},
  };
  tarn::ui::RegisterDialogTemplate(mount);

  DLGTEMPLATE option;
  option.id = IDD_OPTION;
  option.caption = "Option";
  option.cx = 218;
  option.cy = 95;
  option.fontFace = "MS Sans Serif";
  option.fontSize = 9;
  option.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
  option.items = {
      {IDC_OPT_TRAY, K::CheckBox, "Show icon in the system tray.", 14, 12, 196, 10},
      {IDC_OPT_AUTOSTART, K::CheckBox, "Auto start this application as windows startup.", 14, 30, 196, 10},
      {IDC_OPT_SHELLEXT, K::CheckBox, "Enable windows explorer shell extension.", 14, 48, 196, 10},
      {IDOK, K::PushButton, "OK", 154, 72, 50, 15, BS_DEFPUSHBUTTON},
  };
  tarn::ui::RegisterDialogTemplate(option);
}

void RegisterMenus() {
  auto tray = std::make_shared<MenuData>();
  auto popup = std::make_shared<MenuData>();
  popup->items = {
      {MF_STRING, ID_TRAY_SHOWWINDOW, "&ShowWindow", nullptr},
      {MF_SEPARATOR, 0, "", nullptr},
      {MF_STRING, ID_TRAY_MOUNTDISK, "Mount &Disk Image", nullptr},
      {MF_STRING, ID_TRAY_MOUNTCD, "Mount &CD Image", nullptr},
      {MF_SEPARATOR, 0, "", nullptr},
      {MF_STRING, ID_TRAY_OPTION, "&Option", nullptr},
      {MF_SEPARATOR, 0, "", nullptr},
      {MF_STRING, ID_TRAY_EXIT, "&Exit", nullptr},
  };
  tray->items = {{MF_POPUP, 0, "Tray", popup}};
  tarn::ui::RegisterMenuTemplate(IDR_TRAYMENU, tray);
}

}  // namespace

void RegisterShroudkeepResources() {
  static bool done = false;
  if (done) return;
  done = true;
  Q_INIT_RESOURCE(shroudkeep);
  RegisterDialogs();
  RegisterMenus();
}
