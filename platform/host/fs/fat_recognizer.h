// Mounting a volume whose boot sector is a valid FAT boot sector.
#pragma once

#include <optional>
#include <span>

#include "platform/host/fs/fat_boot_sector.h"
#include "platform/host/fs/recognizer.h"

namespace tarn::hostfs {

// Nothing (with why set) when the first sector is not a FAT boot sector;
// otherwise the mount: label from the root directory's volume-label entry,
// else from the boot sector; free space by scanning the FAT.
std::optional<MountResult> recognizeFat(std::span<const std::uint8_t> firstSector, const ReadFn& read,
                                        const char** why);

}  // namespace tarn::hostfs
