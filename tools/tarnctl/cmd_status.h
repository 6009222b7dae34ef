// The drive table of `tarnctl status`, built like the desktop program's
// drive list: the drive type per letter, the service's status word with
// the device path and the root, and the volume's file system and label.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/tarnctl/backend.h"

namespace tarnctl {

struct DriveRow {
    char letter = 0;
    unsigned type = 0;
    uint32_t status = 0;
    int64_t totalBytes = 0;
    int64_t freeBytes = 0;
    bool hasVolume = false;
    VolumeInfo volume;
    bool interrupted = false;  // a conversion of the drive was cut short
    CONVERSION_STATE conversion{};
};

// "Interrupted: 37% encrypted" (or decrypted).
std::string DescribeInterrupted(const CONVERSION_STATE& state);
// The state column: the interrupted conversion when there is one, else the
// status word in words.
std::string DescribeRow(const DriveRow& row);

// Every drive (only = 0) or the one drive `only`.
std::vector<DriveRow> CollectDrives(Backend& backend, char only);

std::string FormatDriveTable(const std::vector<DriveRow>& rows);
std::string FormatDriveJson(const std::vector<DriveRow>& rows);

// "512 B", "1.5 KiB", "64.0 MiB", "2.0 GiB", "1.0 TiB".
std::string HumanSize(int64_t bytes);

}  // namespace tarnctl
