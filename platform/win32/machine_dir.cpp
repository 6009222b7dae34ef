#include "machine_dir.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "errno_map.h"
#include "winerror.h"

namespace tarn::win32 {
namespace {

std::string HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  struct passwd* entry = getpwuid(getuid());
  return entry && entry->pw_dir ? entry->pw_dir : "/";
}

}  // namespace

std::string MachineDirectory() {
  const char* chosen = std::getenv(kMachineEnvironmentVariable);
  if (chosen && *chosen) return chosen;
  const char* state = std::getenv("XDG_STATE_HOME");
  // A relative XDG_STATE_HOME is invalid and must be ignored.
  std::string base = state && *state == '/' ? std::string(state) : HomeDirectory() + "/.local/state";
  return base + "/tarnvault/machine";
}

DWORD EnsureMachineDirectory(std::string* path) {
  *path = MachineDirectory();
  // The machine's owner and an optional group share it; the umask narrows this.
  for (size_t slash = path->find('/', 1);; slash = path->find('/', slash + 1)) {
    std::string prefix = path->substr(0, slash);
    if (mkdir(prefix.c_str(), slash == std::string::npos ? 0770 : 0755) != 0 && errno != EEXIST)
      return PathErrnoToWin32(errno, prefix);
    if (slash == std::string::npos) break;
  }
  struct stat st;
  if (stat(path->c_str(), &st) != 0) return PathErrnoToWin32(errno, *path);
  if (!S_ISDIR(st.st_mode)) return ERROR_DIRECTORY;
  return ERROR_SUCCESS;
}

}  // namespace tarn::win32
