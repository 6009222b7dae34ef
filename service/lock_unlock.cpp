// SvcLockDrive and SvcUnlockDrive: forget or load the key in the filter,
// framed by the volume lock so no file-system user sees the change midway.
#include <cstdio>
#include <cstring>

#include "cipher/keys.h"
#include "service/conversion_recovery.h"
#include "service/device_path.h"
#include "service/file_system_views.h"
#include "service/handle_guard.h"
#include "service/marker_read.h"
#include "service/procedures.h"

namespace {

constexpr size_t kMaxVolumePath = 256;  // 255 characters and the terminator

// "\\.\" and the drive name; false when it would not fit.
bool BuildVolumePath(const char* driveName, char (&path)[kMaxVolumePath]) {
    int n = std::snprintf(path, sizeof path, "\\\\.\\%s", driveName);
    return n > 0 && size_t(n) < sizeof path;
}

}  // namespace

namespace tarnsvc {

long SvcLockDrive(const char* driveName) {
    char path[kMaxVolumePath];
    if (driveName == nullptr || !BuildVolumePath(driveName, path)) return ERROR_INVALID_PARAMETER;
    RecoverBeforeUse(path);
    if (const long views = CloseDriveViews(driveName); views != 0) return views;
    HandleGuard volume(OpenVolume(path));
    if (!volume.Valid()) return long(GetLastError());
    if (!VolumeControl(volume.Get(), FSCTL_LOCK_VOLUME)) return long(GetLastError());
    if (!VolumeControl(volume.Get(), IOCTL_CRYPT_CLEAR_KEY)) return long(GetLastError());
    VolumeControl(volume.Get(), FSCTL_DISMOUNT_VOLUME);
    VolumeControl(volume.Get(), FSCTL_UNLOCK_VOLUME);
    return 0;
}

long SvcUnlockDrive(const char* drive, const char* password, long isFullPath) {
    if (drive == nullptr) return ERROR_INVALID_PARAMETER;
    char path[kMaxVolumePath];
    if (isFullPath == 0) {
        if (!BuildVolumePath(drive, path)) return ERROR_INVALID_PARAMETER;
    } else {
        // A device path is used unchanged; one that does not fit is refused,
        // never cut to some other name.
        if (!IsDevicePath(drive)) return ERROR_INVALID_NAME;
        if (std::strlen(drive) >= sizeof path) return ERROR_FILENAME_EXCED_RANGE;
        std::strcpy(path, drive);
    }
    // A key loaded into a half-converted drive would show its unconverted
    // part as garbage, and the file system would write into it.
    if (long refused = RefuseWhileJournalled(path); refused != 0) return refused;
    uint8_t keyBuffer[kKeyBufferSize];
    BuildKeyBuffer(password, keyBuffer);
    long result = 0;
    HandleGuard volume(OpenVolume(path));
    DWORD returned = 0;
    if (!volume.Valid()) {
        result = long(GetLastError());
    } else if (isFullPath == 0 && !VolumeControl(volume.Get(), FSCTL_LOCK_VOLUME)) {
        result = long(GetLastError());
    } else if (!DeviceIoControl(volume.Get(), IOCTL_CRYPT_SET_KEY, keyBuffer, kKeySize, nullptr, 0, &returned,
                                nullptr)) {
        result = long(GetLastError());
    } else {
        // A drive whose marker the filter has not seen yet takes the key but
        // would pass writes through until the dismount's read.
        ShowMarkerToFilter(volume.Get());
        VolumeControl(volume.Get(), FSCTL_UNLOCK_VOLUME);
        VolumeControl(volume.Get(), FSCTL_DISMOUNT_VOLUME);
    }
    SecureWipe(keyBuffer, sizeof keyBuffer);
    return result;
}

}  // namespace tarnsvc
