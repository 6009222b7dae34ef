#include "platform/host/machine_setup.h"

namespace tarn::host {

Status FormatBackingFile(const std::string& path, const std::string& fileSystem, const std::string& label) {
    // FIXME: format with the FAT formatter of platform/host/fs once it is merged.
    (void)path;
    (void)fileSystem;
    (void)label;
    return Ok();
}

}  // namespace tarn::host
