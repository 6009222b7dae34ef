// Quick encryption and decryption: only the first sector is rewritten, and
// everything on the volume is lost; the client formats it afterwards.
#include <cstdint>
#include <cstring>

#include "cipher/keys.h"
#include "cipher/sector.h"
#include "service/conversion_recovery.h"
#include "service/device_path.h"
#include "service/file_system_views.h"
#include "service/drive_messages.h"
#include "service/handle_guard.h"
#include "service/procedures.h"
#include "service/worker_status.h"

namespace {

bool SeekToStart(HANDLE volume) {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return SetFilePointerEx(volume, zero, nullptr, FILE_BEGIN) != FALSE;
}

}  // namespace

namespace tarnsvc {

long SvcQuickEncryptDrive(const char* devicePath, const char* password) {
    if (!IsDevicePath(devicePath)) return ERROR_INVALID_NAME;
    // A quick conversion of a half-converted drive would leave its journal
    // describing a medium that is no longer there.
    if (long refused = RefuseWhileJournalled(devicePath); refused != 0) return refused;
    if (const long views = CloseDriveViews(devicePath); views != 0) return views;
    HandleGuard volume(OpenVolume(devicePath));
    if (!volume.Valid()) return long(GetLastError());
    if (!VolumeControl(volume.Get(), FSCTL_LOCK_VOLUME)) {
        DWORD error = GetLastError();
        SetLastMessage(MSG_CANT_LOCK);
        return long(error);
    }
    SectorKeys keys(password);
    DWORD result = 0;
    if (!SeekToStart(volume.Get())) result = GetLastError();

    // A zero sector with the marker: it reads as encrypted under any key.
    alignas(4096) uint8_t sector[kUnitSize] = {};
    sector[kMarkerOffset] = kMarker0;
    sector[kMarkerOffset + 1] = kMarker1;
    EncryptSectorZero(&keys.User, &keys.Fixed, sector);
    DWORD written = 0;
    if (!WriteFile(volume.Get(), sector, sizeof sector, &written, nullptr) || written != sizeof sector) {
        result = GetLastError();
        if (result == 0) result = ERROR_DISK_FULL;
        SetLastMessage(MSG_WRITE_ERROR, unsigned(result));
    }
    VolumeControl(volume.Get(), FSCTL_DISMOUNT_VOLUME);
    if (!VolumeControl(volume.Get(), FSCTL_UNLOCK_VOLUME)) {
        result = GetLastError();
        SetLastMessage(MSG_CANT_UNLOCK_QUICK_ENCRYPT);
    }
    return long(result);
}

long SvcQuickDecryptDrive(const char* devicePath) {
    if (!IsDevicePath(devicePath)) return ERROR_INVALID_NAME;
    // A quick conversion of a half-converted drive would leave its journal
    // describing a medium that is no longer there.
    if (long refused = RefuseWhileJournalled(devicePath); refused != 0) return refused;
    if (const long views = CloseDriveViews(devicePath); views != 0) return views;
    HandleGuard volume(OpenVolume(devicePath));
    if (!volume.Valid()) return long(GetLastError());
    if (!VolumeControl(volume.Get(), FSCTL_LOCK_VOLUME)) {
        DWORD error = GetLastError();
        SetLastMessage(MSG_CANT_LOCK);
        return long(error);
    }
    DWORD result = 0;
    if (!SeekToStart(volume.Get())) result = GetLastError();

    // Offset 0 and 512 zero bytes, past the filter's encryption.
    alignas(4096) uint8_t request[8 + kUnitSize] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(volume.Get(), IOCTL_CRYPT_RAW_WRITE, request, sizeof request, nullptr, 0, &returned,
                         nullptr)) {
        // The encrypted state stays: ending it over an unwritten sector
        // would show the old ciphertext as plain data.
        result = GetLastError();
        SetLastMessage(MSG_WRITE_ERROR, unsigned(result));
    } else if (!VolumeControl(volume.Get(), IOCTL_CRYPT_END_ENCRYPTION)) {
        result = GetLastError();
        SetLastMessage(MSG_QUICK_DECRYPT_COMPLETION, unsigned(result));
    }
    VolumeControl(volume.Get(), FSCTL_DISMOUNT_VOLUME);
    if (!VolumeControl(volume.Get(), FSCTL_UNLOCK_VOLUME)) {
        result = GetLastError();
        SetLastMessage(MSG_CANT_LOCK);
    }
    return long(result);
}

}  // namespace tarnsvc
