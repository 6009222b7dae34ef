#include "platform/host/machine_dir.h"

#include <cstdlib>

namespace tarn::host {

std::string ResolveMachineDirectory(const std::string& explicitDir) {
    if (!explicitDir.empty()) return explicitDir;
    // FIXME: use the win32 layer's machine-directory module once it is merged.
    if (const char* env = std::getenv("TARNVAULT_MACHINE"); env && *env) return env;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state) {
        return std::string(state) + "/tarnvault/machine";
    }
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "/tmp") + "/.local/state/tarnvault/machine";
}

}  // namespace tarn::host
