// shroudkeep: the desktop program.
#include <QApplication>
#include <cstring>
#include <memory>
#include <strings.h>

#include "app/fake_system_calls.h"
#include "app/resource.h"
#include "app/resources.h"
#include "app/screenshot_tour.h"
#include "app/tarn_dlg.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  AfxSetAppName("shroudkeep");
  RegisterShroudkeepResources();

  // Only the first argument counts.
  bool hidden = argc > 1 && strcasecmp(argv[1], "-start") == 0;
  bool demo = false;
  const char* tourFolder = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--demo") == 0) demo = true;
    if (std::strcmp(argv[i], "--screenshot-tour") == 0 && i + 1 < argc) tourFolder = argv[++i];
  }

  std::unique_ptr<TarnSystemCalls> system;
  if (demo) {
    system = std::make_unique<FakeSystemCalls>(FakeSystemCalls::Demo());
  } else {
    // FIXME: bind to the service (SvcBind, exit with its status on failure)
    // and use the Win32 layer and the service client here.
    std::fprintf(stderr, "shroudkeep: the service client is not built in yet; run with --demo\n");
    return 1;
  }

  CTarnDlg dialog(*system);
  AfxSetMainWnd(&dialog);
  if (tourFolder) {
    if (!demo) return 2;
    return RunScreenshotTour(dialog, static_cast<FakeSystemCalls&>(*system), tourFolder);
  }
  if (hidden) {
    if (!dialog.Create(IDD_MAIN, nullptr)) return 1;
    dialog.ShowWindow(SW_HIDE);
    dialog.RunModalLoop();
  } else {
    dialog.DoModal();
  }
  AfxSetMainWnd(nullptr);
  return 0;
}
