#include "app/tarn_app.h"

#include <QGuiApplication>
#include <strings.h>

#include "app/resource.h"
#include "app/settings.h"
#include "app/tarn_dlg.h"

bool CTarnApp::HiddenStart(int argc, char** argv) { return argc > 1 && strcasecmp(argv[1], "-start") == 0; }

int CTarnApp::InitInstance(int argc, char** argv, const Options& options) {
  if (options.bind) {
    long status = options.bind();
    if (status != 0) return static_cast<int>(status);
  }
  // A second start shows the first one's window and ends quietly.
  if (!options.run && tarn::ui::InstanceMark::ActivateOther(kMainWindowTitle)) return 0;

  if (options.installLauncher) {
    std::string program = AutostartCommand(m_system);
    program.resize(program.size() - std::string(" -start").size());
    tarn::ui::InstallLauncher("shroudkeep", kMainWindowTitle, program, ":/res/128.png");
  }

  CTarnDlg dialog(m_system);
  AfxSetMainWnd(&dialog);
  // The session's end reaches the main window as WM_ENDSESSION.
  QObject::connect(qApp, &QGuiApplication::commitDataRequest, qApp, [&dialog](QSessionManager&) {
    if (IsWindow(dialog.GetSafeHwnd())) dialog.SendMessage(WM_ENDSESSION, TRUE, 0);
  });
  int exitCode = 0;
  if (HiddenStart(argc, argv) || options.run) {
    if (!dialog.Create(IDD_MAIN, nullptr)) return 1;
    m_mark.Claim(kMainWindowTitle, &dialog);
    if (options.run) {
      exitCode = options.run(dialog);
    } else {
      dialog.ShowWindow(SW_HIDE);
      dialog.RunModalLoop();
    }
  } else {
    // The mark is claimed once the window exists, from inside its loop.
    QMetaObject::invokeMethod(
        qApp, [this, &dialog] { m_mark.Claim(kMainWindowTitle, &dialog); }, Qt::QueuedConnection);
    dialog.DoModal();
  }
  AfxSetMainWnd(nullptr);
  return exitCode;
}
