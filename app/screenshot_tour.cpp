#include "app/screenshot_tour.h"

#include <QCoreApplication>
#include <QDir>
#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <functional>

#include "app/fake_system_calls.h"
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
