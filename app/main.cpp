// shroudkeep: the desktop program.
#include <QApplication>
#include <cstring>
#include <memory>

#include "app/fake_system_calls.h"
#include "app/real_system_calls.h"
#include "app/resources.h"
#include "app/screenshot_tour.h"
#include "app/tarn_app.h"
#include "platform/ui/afxwin.h"
#include "service/client/svcclient.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  AfxSetAppName("shroudkeep");
  RegisterShroudkeepResources();

  // Our own switches: a machine and service in memory, and the tour.
  bool demo = false;
  const char* tourFolder = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--demo") == 0) demo = true;
    if (std::strcmp(argv[i], "--screenshot-tour") == 0 && i + 1 < argc) tourFolder = argv[++i];
  }
  if (tourFolder && !demo) return 2;

  std::unique_ptr<TarnSystemCalls> system;
  CTarnApp::Options options;
  if (demo) {
    system = std::make_unique<FakeSystemCalls>(FakeSystemCalls::Demo());
  } else {
    system = std::make_unique<RealSystemCalls>();
    options.bind = [] { return static_cast<long>(SvcBind()); };
    options.installLauncher = true;
  }
  if (tourFolder) {
    std::string folder = tourFolder;
    options.run = [&system, folder](CTarnDlg& dialog) {
      return RunScreenshotTour(dialog, static_cast<FakeSystemCalls&>(*system), folder);
    };
  }
  CTarnApp theApp(*system);
  return theApp.InitInstance(argc, argv, options);
}
