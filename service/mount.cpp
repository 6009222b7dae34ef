// SvcMountImage, SvcUnmountImage and SvcQueryMount.
#include "service/mount.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "service/conversion_recovery.h"
#include "service/file_system_views.h"
#include "service/handle_guard.h"
#include "service/procedures.h"
#include "service/store.h"

namespace {

struct LetterNames {
    char DosName[3];      // "X:"
    char VolumePath[7];   // "\\.\X:"
};

LetterNames NamesFor(char letter) {
    LetterNames n{};
    n.DosName[0] = letter;
    n.DosName[1] = ':';
    std::snprintf(n.VolumePath, sizeof n.VolumePath, "\\\\.\\%s", n.DosName);
    return n;
}

// "%s %s %d": prefix, the system's text for the error, the error code.
void Diagnose(const char* prefix, DWORD error) {
    char text[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) text[--n] = '\0';
    std::fprintf(stderr, "%s %s %d\n", prefix, text, int(error));
}

// Fails with the error, after the diagnostic.
long Fail(const char* prefix) {
    DWORD error = GetLastError();
    Diagnose(prefix, error);
    return long(error);
}

HANDLE OpenLetter(const LetterNames& names, DWORD access) {
    return CreateFileA(names.VolumePath, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_NO_BUFFERING, nullptr);
}

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

namespace {

// The image file of a record, as the conversions name it: the NT path's
// "\??\" prefix dropped, UTF-16 to UTF-8.
std::string ImagePathOf(const VDISK_MOUNT_RECORD& record) {
    const size_t units = sizeof record.FileName / sizeof record.FileName[0];
    std::string path;
    for (size_t i = 0; i < units && record.FileName[i] != 0; ++i) {
        uint32_t c = record.FileName[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units && record.FileName[i + 1] >= 0xDC00 &&
            record.FileName[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (record.FileName[++i] - 0xDC00);
        if (c < 0x80) {
            path += char(c);
        } else if (c < 0x800) {
            path += char(0xC0 | c >> 6);
            path += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            path += char(0xE0 | c >> 12);
            path += char(0x80 | (c >> 6 & 0x3F));
            path += char(0x80 | (c & 0x3F));
        } else {
            path += char(0xF0 | c >> 18);
            path += char(0x80 | (c >> 12 & 0x3F));
            path += char(0x80 | (c >> 6 & 0x3F));
            path += char(0x80 | (c & 0x3F));
        }
    }
    if (path.rfind("\\??\\", 0) == 0) path.erase(0, 4);
    return path;
}

}  // namespace

long MountImage(int32_t deviceNumber, const VDISK_MOUNT_RECORD& record, char driveLetter) {
    // Only a letter names a drive; a device number past the driver's eight
    // devices names nothing.
    if (!IsLetter(driveLetter) || deviceNumber < 0 || deviceNumber >= kStoreDeviceCount)
        return ERROR_INVALID_PARAMETER;
    // A half-converted image read through the driver would show garbage,
    // and a write to it could not be undone by its journal.
    if (record.DiskKind != kDiskKindNetwork) {
        const std::string file = ImagePathOf(record);
        if (long refused = RefuseWhileJournalled(file.c_str()); refused != 0) return refused;
    }
    const LetterNames names = NamesFor(driveLetter);
    {
        HandleGuard existing(OpenLetter(names, GENERIC_READ | GENERIC_WRITE));
        if (existing.Valid()) {
            existing.Close();
            SetLastError(ERROR_BUSY);
            return Fail(names.DosName);
        }
    }
    char target[64];
    std::snprintf(target, sizeof target,
                  record.DiskKind == kDiskKindCdImage ? "\\Device\\Ombrel\\OmbrelCd%d" : "\\Device\\Ombrel\\Ombrel%d",
                  int(deviceNumber));
    if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH, names.DosName, target)) return Fail(names.DosName);
    HandleGuard volume(OpenLetter(names, GENERIC_READ | GENERIC_WRITE));
    if (!volume.Valid()) {
        long error = Fail(names.DosName);
        DefineDosDeviceA(DDD_REMOVE_DEFINITION, names.DosName, nullptr);
        return error;
    }
    DWORD returned = 0;
    if (!DeviceIoControl(volume.Get(), IOCTL_VDISK_MOUNT, const_cast<VDISK_MOUNT_RECORD*>(&record),
                         DWORD(kMountRecordSize), nullptr, 0, &returned, nullptr)) {
        long error = Fail("ombi:");
        DefineDosDeviceA(DDD_REMOVE_DEFINITION, names.DosName, nullptr);
        return error;
    }
    volume.Close();
    SaveMountRecord(deviceNumber, record);
    return 0;
}

void RemountStoredImages() {
    ForEachMountRecord([](int32_t deviceNumber, const VDISK_MOUNT_RECORD& record) {
        MountImage(deviceNumber, record, record.DriveLetter);
    });
}

namespace tarnsvc {

long SvcMountImage(long deviceNumber, const uint8_t* record, char driveLetter) {
    if (record == nullptr) return ERROR_INVALID_PARAMETER;
    VDISK_MOUNT_RECORD copy;
    std::memcpy(&copy, record, sizeof copy);
    return MountImage(int32_t(deviceNumber), copy, driveLetter);
}

long SvcQueryMount(char driveLetter, uint8_t* record) {
    if (record == nullptr || !IsLetter(driveLetter)) return ERROR_INVALID_PARAMETER;
    const LetterNames names = NamesFor(driveLetter);
    HandleGuard volume(OpenLetter(names, GENERIC_READ));
    if (!volume.Valid()) return long(GetLastError());
    DWORD returned = 0;
    if (!DeviceIoControl(volume.Get(), IOCTL_VDISK_QUERY, nullptr, 0, record, DWORD(kMountRecordSize), &returned,
                         nullptr))
        return long(GetLastError());
    return 0;
}

long SvcUnmountImage(char driveLetter) {
    if (!IsLetter(driveLetter)) return ERROR_INVALID_PARAMETER;
    const LetterNames names = NamesFor(driveLetter);
    if (const long views = CloseDriveViews(names.DosName); views != 0) return views;
    uint8_t queried[kMountRecordWireSize] = {};
    VDISK_MOUNT_RECORD mounted{};
    mounted.DeviceNumber = -1;
    std::memcpy(queried, &mounted, sizeof mounted);
    SvcQueryMount(driveLetter, queried);
    std::memcpy(&mounted, queried, sizeof mounted);
    const int32_t deviceNumber = mounted.DeviceNumber;

    HandleGuard volume(OpenLetter(names, GENERIC_READ | GENERIC_WRITE));
    if (!volume.Valid()) return Fail(names.DosName);
    if (!VolumeControl(volume.Get(), FSCTL_LOCK_VOLUME)) return Fail(names.DosName);
    if (!VolumeControl(volume.Get(), IOCTL_VDISK_UNMOUNT)) return Fail("ombi:");
    if (!VolumeControl(volume.Get(), FSCTL_DISMOUNT_VOLUME) || !VolumeControl(volume.Get(), FSCTL_UNLOCK_VOLUME))
        return Fail(names.DosName);
    volume.Close();
    if (!DefineDosDeviceA(DDD_REMOVE_DEFINITION, names.DosName, nullptr)) return Fail(names.DosName);
    if (deviceNumber >= 0) DeleteMountRecord(deviceNumber);
    return 0;
}

}  // namespace tarnsvc
