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
  struct Page {
    UINT id;
    const char* face;
    int size;
  } pages[] = {
      {IDD_PAGE_TARN, "MS Sans Serif", 9},        {IDD_PAGE_IMAGEENC, "MS Sans Serif", 8},
      {IDD_PAGE_IMAGEDEC, "MS Sans Serif", 8},    {IDD_PAGE_CREATEIMAGE, "MS Sans Serif", 9},
      {IDD_PAGE_MOUNT, "MS Shell Dlg", 8},
  };
  for (const Page& p : pages) {
    DLGTEMPLATE page;
    page.id = p.id;
    page.cx = 279;
    page.cy = 220;
    page.fontFace = p.face;
    page.fontSize = p.size;
    page.style = kPageStyle;
    tarn::ui::RegisterDialogTemplate(page);
  }
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
