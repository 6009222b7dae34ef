// Writes an empty FAT file system onto a volume, as formatting a drive does.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "platform/host/fs/fat_layout.h"
#include "platform/host/fs/volume_io.h"

namespace tarn::hostfs {

struct FormatOptions {
    FatFormatKind kind = FatFormatKind::Fat;
    std::string label;                  // up to 11 characters; empty for none
    std::uint32_t serial = 0;           // see volumeSerialAt
    std::uint32_t hiddenSectors = 0;    // sectors before the volume on its disk
    std::uint16_t dosDate = 0x0021;     // time stamp of the label entry
    std::uint16_t dosTime = 0;          // (default 1980-01-01 00:00)
};

struct FormatResult {
    FormatError error = FormatError::None;
    IoStatus ioStatus = kIoSuccess;     // the failing write's status (WriteFailed)
    std::string message;
    FatGeometry geometry;               // what was written

    bool ok() const { return error == FormatError::None; }
};

// Writes the reserved area (boot sector; for FAT32 also FSInfo and the
// backup boot sector and FSInfo), every FAT and the root directory, in
// chunks of up to 1 MiB, and nothing else: the data area is left as it was.
// The first 4 KiB are wiped first and the boot sector goes last, so a format
// that fails part-way leaves no mountable file system (old or new) behind;
// the result then says which write failed.
FormatResult formatFat(const VolumeSink& volume, const FormatOptions& options);

// The serial number Windows gives a volume formatted at a local time:
// (month<<8 | day) + (seconds<<8 | hundredths) in the high word,
// (hours<<8 | minutes) + year in the low word.
std::uint32_t volumeSerialAt(const std::tm& local, int hundredths);

// DOS date and time fields of a local time (years before 1980 give 1980-01-01).
std::uint16_t dosDateOf(const std::tm& local);
std::uint16_t dosTimeOf(const std::tm& local);

}  // namespace tarn::hostfs
