// SvcQueryDrive: what the filter says about the marker, whether the volume is
// writable, and whether a file system is readable through it.
#include "service/drive_status.h"

#include "service/conversion_recovery.h"
#include "service/device_path.h"
#include "service/handle_guard.h"
#include "service/procedures.h"

int32_t ComposeDriveStatus(bool answered, bool encrypted, bool writable, bool fileSystemReadable) {
    int32_t state = fileSystemReadable ? (encrypted ? 1 : 0) : (encrypted ? 2 : 3);
    if (!answered || state == 3) return state;
    switch (state) {
    case 0: return writable ? 0x10000 : 0;
    case 1: return 0x80000 | (writable ? 0x40001 : 0x1);
    default: return 0x20002;
    }
}

namespace tarnsvc {

long SvcQueryDrive(const char* devicePath, const char* rootPath, int64_t* totalBytes, int64_t* freeBytes) {
    if (totalBytes) *totalBytes = 0;
    if (freeBytes) *freeBytes = 0;
    bool encrypted = false, writable = true, answered = true;
    // A torn chunk is put right before anything reads the drive.
    if (IsDevicePath(devicePath)) RecoverBeforeUse(devicePath);

    HandleGuard volume(IsDevicePath(devicePath) ? CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, nullptr)
                                  : INVALID_HANDLE_VALUE);
    if (!volume.Valid()) {
        answered = false;
    } else {
        DWORD returned = 0;
        if (!DeviceIoControl(volume.Get(), IOCTL_DISK_IS_WRITABLE, nullptr, 0, nullptr, 0, &returned, nullptr) &&
            GetLastError() == ERROR_WRITE_PROTECT)
            writable = false;
        uint32_t state = 0;
        if (DeviceIoControl(volume.Get(), IOCTL_CRYPT_QUERY_STATE, nullptr, 0, &state, sizeof state, &returned,
                            nullptr)) {
            encrypted = state != 0;
        } else {
            answered = false;
        }
        volume.Close();
    }

    bool readable = false;
    if (rootPath && rootPath[0] != '\0') {
        ULARGE_INTEGER available, total, free;
        if (GetDiskFreeSpaceExA(rootPath, &available, &total, &free)) {
            readable = true;
            if (totalBytes) *totalBytes = int64_t(total.QuadPart);
            if (freeBytes) *freeBytes = int64_t(free.QuadPart);
        }
    }
    return ComposeDriveStatus(answered, encrypted, writable, readable);
}

}  // namespace tarnsvc
