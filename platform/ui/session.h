// The desktop session around the program: the per-user autostart entries
// (XDG autostart), the user's launcher and icon, and the single-instance
// mark (a per-user local socket named after the main window's title, which
// stands in for finding another process's window by its title).
#pragma once

#include <memory>
#include <string>

#include "platform/ui/winuser.h"

class CWnd;
class QLocalServer;

namespace tarn::ui {

// ~/.config/autostart/<name>.desktop (XDG_CONFIG_HOME honoured). Win32
// errors: ERROR_FILE_NOT_FOUND (2) when there is no entry, 5 when it cannot
// be read or written.
LONG ReadAutostartEntry(const std::string& name, std::string* command);
LONG WriteAutostartEntry(const std::string& name, const std::string& title, const std::string& command);
LONG DeleteAutostartEntry(const std::string& name);
std::string AutostartEntryPath(const std::string& name);

// Installs ~/.local/share/applications/<name>.desktop and the icon (a PNG
// from the program's resources) when they are missing or out of date.
bool InstallLauncher(const std::string& name, const std::string& title, const std::string& command,
                     const std::string& iconResource);

// The single-instance mark of one title for the current user.
class InstanceMark {
 public:
  InstanceMark();
  ~InstanceMark();
  InstanceMark(const InstanceMark&) = delete;
  InstanceMark& operator=(const InstanceMark&) = delete;

  // When another process holds the mark for title: asks it to show its
  // window and returns true. Otherwise false.
  static bool ActivateOther(const std::string& title);
  // Holds the mark; a request from a later start shows window (SW_SHOW,
  // restored and brought to the front). A stale socket of a process that
  // died is replaced.
  bool Claim(const std::string& title, CWnd* window);
  static std::string SocketName(const std::string& title);

 private:
  std::unique_ptr<QLocalServer> m_server;
};

}  // namespace tarn::ui
