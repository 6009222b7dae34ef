// CTarnApp: the program's start-up: binding to the service, one instance per
// user session, the hidden ("-start") or visible main window, and the end.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/system_calls.h"
#include "platform/ui/session.h"

class CTarnDlg;

inline constexpr const char* kMainWindowTitle = "Orvantis Shroudkeep";

class CTarnApp {
 public:
  struct Options {
    // Binds to the service; a non-zero status ends the start with it.
    std::function<long()> bind;
    // Installs the user's launcher and icon.
    bool installLauncher = false;
    // Runs once the main window exists (tests, the screenshot tour); when
    // set, it replaces the dialog's own loop and its result is the exit code.
    std::function<int(CTarnDlg&)> run;
  };

  explicit CTarnApp(TarnSystemCalls& system) : m_system(system) {}
  // Only the first argument counts: "-start" in any case starts hidden.
  static bool HiddenStart(int argc, char** argv);
  // The instance initialisation; returns the process's exit code.
  int InitInstance(int argc, char** argv, const Options& options);

 private:
  TarnSystemCalls& m_system;
  tarn::ui::InstanceMark m_mark;
};
