// Where this process's machine lives.
#pragma once

#include <string>

namespace tarn::host {

// The explicit directory if given, else the shared machine-directory rule
// (TARNVAULT_MACHINE, then the user's state directory).
std::string ResolveMachineDirectory(const std::string& explicitDir);

}  // namespace tarn::host
