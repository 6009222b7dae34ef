#include "platform/host/machine_dir.h"

#include "platform/win32/machine_dir.h"

namespace tarn::host {

std::string ResolveMachineDirectory(const std::string& explicitDir) {
    return explicitDir.empty() ? win32::MachineDirectory() : explicitDir;
}

}  // namespace tarn::host
