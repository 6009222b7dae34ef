#include "app/screenshot_tour.h"

#include <QCoreApplication>
#include <QDir>
#include <QMenu>
#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <functional>

#include "app/fake_system_calls.h"
#include "app/pages.h"
#include "app/password_dlg.h"
#include "app/resource.h"
#include "app/tarn_dlg.h"
#include "platform/ui/scripted_ui_seam.h"

namespace {

class TourSeam : public tarn::ui::ScriptedUiSeam {};

bool Save(QWidget* widget, const QString& folder, const char* name) {
  QString path = QDir(folder).filePath(QString::fromLatin1(name) + ".png");
  bool ok = widget->grab().save(path);
  std::printf("%s %s\n", ok ? "saved" : "FAILED", qPrintable(path));
  return ok;
}

// Lets paints and posted messages run for a moment.
void Settle() {
  for (int i = 0; i < 5; ++i) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 30);
    QCoreApplication::sendPostedEvents();
  }
}

}  // namespace

int RunScreenshotTour(CTarnDlg& dialog, FakeSystemCalls& system, const std::string& folderName) {
  QString folder = QString::fromStdString(folderName);
  QDir().mkpath(folder);
  TourSeam seam;
  int failures = 0;
  auto shoot = [&](QWidget* w, const char* name) {
    Settle();
    if (!Save(w, folder, name)) ++failures;
  };

  if (!dialog.GetSafeHwnd() && !dialog.Create(IDD_MAIN, nullptr)) return 1;
  dialog.CenterWindow();
  dialog.ShowWindow(SW_SHOW);
  QWidget* main = dialog.GetQWidget();
  shoot(main, "main-physical-disk");
  dialog.SendMessage(WM_COMMAND, ID_CDENCRYPTION, 0);
  shoot(main, "main-cd-encryption");
  dialog.SendMessage(WM_COMMAND, ID_PRIVATEDISK, 0);
  shoot(main, "main-private-disk");
  dialog.SendMessage(WM_COMMAND, ID_PHYSICALDISK, 0);

  // The Disk Encryption page in its main states.
  auto choose = [&](char letter) { dialog.SendMessage(WM_COMMAND, ID_DRIVE_BASE + static_cast<UINT>(letter), 0); };
  choose('h');
  shoot(main, "page-disk-plain");
  choose('f');
  shoot(main, "page-disk-encrypted");
  choose('e');
  shoot(main, "page-disk-locked");
  choose('c');
  shoot(main, "page-disk-system");
  // A conversion cut short: the list and the page offer to resume it.
  {
    CONVERSION_STATE cut{};
    cut.Encrypt = 1;
    cut.ChunksDone = 37;
    cut.ChunkCount = 100;
    cut.Percent = 37;
    system.interrupted["\\\\.\\h:"] = cut;
    dialog.SendMessage(WM_COMMAND, ID_REFRESH, 0);
    choose('h');
    shoot(main, "page-disk-interrupted");
    system.interrupted.clear();
    dialog.SendMessage(WM_COMMAND, ID_REFRESH, 0);
  }
  // A conversion under way: progress at 60 percent, the panel disabled.
  {
    choose('h');
    system.autoAdvance = false;
    CPageTarn& page = dialog.PageTarn();
    seam.messageBoxAnswers = {IDYES};
    seam.dialogActions.push_back([](CDialog& d) {
      tarn::ui::TypeText(d, IDC_PASSWORD, "secret");
      tarn::ui::TypeText(d, IDC_CONFIRM, "secret");
      d.SendMessage(WM_COMMAND, IDOK, 0);
    });
    page.SendMessage(WM_COMMAND, IDC_TARN_ENCRYPT, 0);
    system.conversion.progress = 60;
    page.SendMessage(WM_TIMER, 0, 0);
    shoot(main, "page-disk-converting");
    system.FinishConversion(0);
    seam.messageBoxAnswers = {IDOK};
    page.SendMessage(WM_TIMER, 0, 0);
    system.autoAdvance = true;
  }

  // The other pages.
  dialog.SendMessage(WM_COMMAND, ID_ENCRYPTCDIMAGE, 0);
  dialog.PageImageEnc().GetDlgItem(IDC_IMG_SOURCE)->SetWindowText("/home/user/Disc.iso");
  shoot(main, "page-cd-encrypt");
  dialog.SendMessage(WM_COMMAND, ID_DECRYPTCDIMAGE, 0);
  dialog.PageImageDec().GetDlgItem(IDC_IMG_SOURCE)->SetWindowText("/home/user/disc.enc.iso");
  shoot(main, "page-cd-decrypt");
  dialog.SendMessage(WM_COMMAND, ID_MAKEIMAGE, 0);
  dialog.PageCreateImage().GetDlgItem(IDC_CI_PATH)->SetWindowText("/home/user/private.img");
  shoot(main, "page-create-image");
  dialog.SendMessage(WM_COMMAND, ID_MOUNTUNMOUNT, 0);
  shoot(main, "page-mount-free");
  {
    VDISK_MOUNT_RECORD record{};
    record.DiskKind = 0;
    record.DriveLetter = 'J';
    SetRecordFileName(record, "/home/user/private.img");
    system.SvcMountImage(0, &record, 'J');
    CPageMount& mount = dialog.PageMount();
    mount.RefreshList();
    CComboBox letters;
    letters.Attach(mount.GetDlgItem(IDC_MNT_LETTER));
    for (int i = 0; i < letters.GetCount(); ++i)
      if (letters.GetLBText(i).find("J:") != std::string::npos) letters.SetCurSel(i);
    mount.ShowSelection();
    shoot(main, "page-mount-mounted");
  }

  // The tray menu, drawn as the desktop's menu would show it.
  {
    seam.menuAnswers = {0};
    dialog.SendMessage(WM_TRAYICON, 100, WM_RBUTTONUP);
    if (!seam.menusShown.empty()) {
      QMenu menu;
      std::function<void(QMenu&, const MenuData&)> fill = [&](QMenu& m, const MenuData& data) {
        for (const MenuItem& item : data.items) {
          QString text = QString::fromStdString(item.text).replace("&", "");
          if (item.flags & MF_SEPARATOR) {
            m.addSeparator();
          } else if (item.popup) {
            QMenu* sub = m.addMenu(text);
            fill(*sub, *item.popup);
          } else {
            m.addAction(text);
          }
        }
      };
      fill(menu, seam.menusShown.back());
      menu.adjustSize();
      shoot(&menu, "tray-menu");
    }
  }
  dialog.SendMessage(WM_COMMAND, ID_PHYSICALDISK, 0);
  choose('c');

  // Every modal dialog is photographed from inside its loop, then closed.
  auto photograph = [&](const char* name, std::function<void(CDialog&)> fill = {}) {
    seam.dialogActions.push_back([&, name, fill](CDialog& d) {
      if (fill) fill(d);
      shoot(d.GetQWidget(), name);
      d.EndDialog(IDCANCEL);
    });
  };
  photograph("about");
  dialog.SendMessage(WM_COMMAND, ID_HDR_ABOUT, 0);

  photograph("password", [](CDialog& d) { tarn::ui::TypeText(d, IDC_PASSWORD, "secret"); });
  CPasswordDlg password(&dialog);
  password.DoModal();
  photograph("encrypt-password", [](CDialog& d) {
    tarn::ui::TypeText(d, IDC_PASSWORD, "secret");
    tarn::ui::TypeText(d, IDC_CONFIRM, "secret");
  });
  CEncryptPasswordDlg encrypt(&dialog);
  encrypt.DoModal();
  photograph("options");
  dialog.SendMessage(WM_COMMAND, ID_HDR_OPTION, 0);
  photograph("format");
  SHFormatDrive(dialog.GetSafeHwnd(), 'H' - 'A', SHFMT_ID_DEFAULT, SHFMT_OPT_FULL);

  // The wait dialog: the service goes away, the watch notices on its next
  // tick; the photograph is taken and the service comes back.
  seam.dialogActions.push_back([&](CDialog& d) {
    shoot(d.GetQWidget(), "wait-rpc");
    system.serviceRunning = true;
  });
  system.serviceRunning = false;
  bool waited = false;
  QTimer guard;
  guard.setSingleShot(true);
  guard.start(10000);
  while (!waited && guard.isActive()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    waited = !seam.dialogsShown.empty() && seam.dialogsShown.back() == IDD_WAITRPC && system.serviceRunning;
  }
  if (!waited) ++failures;
  Settle();
  for (const std::string& u : seam.unexpected) std::printf("unexpected: %s\n", u.c_str());
  dialog.DestroyWindow();
  return failures == 0 ? 0 : 1;
}
