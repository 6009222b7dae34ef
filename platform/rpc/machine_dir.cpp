#include "platform/rpc/machine_dir.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace tarn::rpc {

// FIXME: use the shared machine-directory module once platform/win32 has it.
std::string MachineDirectory() {
  if (const char* m = std::getenv("TARNVAULT_MACHINE"); m && *m) return m;
  std::string home;
  if (const char* h = std::getenv("HOME"); h && *h) {
    home = h;
  } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
    home = pw->pw_dir;
  } else {
    home = "/tmp";
  }
  return home + "/.local/state/tarnvault/machine";
}

std::string LocalEndpointDirectory() { return MachineDirectory() + "/rpc"; }

}  // namespace tarn::rpc
