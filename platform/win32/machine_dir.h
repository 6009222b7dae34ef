// The directory of the machine: registry database, drive table, backing
// files and sockets. TARNVAULT_MACHINE chooses it; otherwise it lies under
// the user's state directory, so nothing needs root.
#pragma once

#include <string>

#include "windef.h"

namespace tarn::win32 {

inline constexpr const char* kMachineEnvironmentVariable = "TARNVAULT_MACHINE";

// The path, whether or not it exists yet. Read afresh on every call.
std::string MachineDirectory();

// The path, created (with its parents) when missing; ERROR_SUCCESS or the
// Win32 error of the failed step.
DWORD EnsureMachineDirectory(std::string* path);

}  // namespace tarn::win32
