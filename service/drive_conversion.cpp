// SvcStartDriveConversion, its worker and the conversion loop.
#include "service/drive_conversion.h"

#include <cstring>
#include <string>

#include "cipher/keys.h"
#include "service/chunk_cipher.h"
#include "service/chunk_media.h"
#include "service/conversion_journal.h"
#include "service/conversion_recovery.h"
#include "service/device_path.h"
#include "service/file_system_views.h"
#include "service/drive_messages.h"
#include "service/marker_read.h"
#include "service/fault_injection.h"
#include "service/handle_guard.h"
#include "service/procedures.h"
#include "service/worker_start.h"
#include "service/worker_status.h"

namespace {

constexpr size_t kPasswordCopy = 128;

struct DriveRequest : WorkerStart {
    const char* DevicePath = nullptr;
    long Encrypt = 0;
    const char* Password = nullptr;
};

DWORD DriveWorker(LPVOID parameter) {
    auto* request = static_cast<DriveRequest*>(parameter);
    const std::string devicePath = request->DevicePath;
    const bool encrypt = request->Encrypt != 0;
    char password[kPasswordCopy] = {};
    if (request->Password) std::strncpy(password, request->Password, sizeof password - 1);
    WorkerArgumentsTaken(request);

    DWORD result = 0;
    HandleGuard volume(OpenVolume(devicePath.c_str()));
    // Opened before the lock, which admits no new handle; the conversion
    // goes on without it if it cannot be had.
    HandleGuard flusher(volume.Valid() ? OpenVolume(devicePath.c_str()) : INVALID_HANDLE_VALUE);
    uint8_t partition[32] = {};
    DWORD returned = 0;
    if (!volume.Valid()) {
        result = GetLastError();
        SetLastMessage(MSG_CANT_OPEN_DRIVE);
    } else if (!DeviceIoControl(volume.Get(), IOCTL_DISK_GET_PARTITION_INFO, nullptr, 0, partition,
                                sizeof partition, &returned, nullptr)) {
        result = GetLastError();
        SetLastMessage(MSG_CANT_GET_DRIVE_INFO);
    } else if (!VolumeControl(volume.Get(), FSCTL_LOCK_VOLUME)) {
        result = GetLastError();
        SetLastMessage(MSG_CANT_LOCK);
    } else {
        int64_t length = 0;
        std::memcpy(&length, partition + 8, sizeof length);
        SetActiveJournalTarget(devicePath);
        result = RunDriveConversion(volume.Get(), length < 0 ? 0 : uint64_t(length), encrypt, password,
                                    devicePath.c_str(), flusher.Get());
        SetActiveJournalTarget("");
        // A paused drive is unlocked and dismounted too, so that it is
        // examined afresh (an encrypted chunk 0 makes it Locked).
        if (result == 0 || result == kConversionPaused) {
            VolumeControl(volume.Get(), FSCTL_UNLOCK_VOLUME);
            VolumeControl(volume.Get(), FSCTL_DISMOUNT_VOLUME);
        }
    }
    volume.Close();  // also ends a lock still held
    SecureWipe(password, sizeof password);
    SetWorkerResult(int32_t(result));
    FinishWorker();
    return 0;
}

}  // namespace

DWORD RunDriveConversion(HANDLE volume, uint64_t length, bool encrypt, const char* password, const char* target,
                         HANDLE flusher) {
    SectorKeys keys(password);
    uint8_t keyBuffer[kKeyBufferSize];
    BuildKeyBuffer(password, keyBuffer);

    JournalRecord record;
    ChunkLoopSettings settings;
    settings.Length = length;
    settings.Encrypt = encrypt;
    settings.ReadsConverted = !encrypt;  // the filter's key decrypts the reads
    if (target) {
        record.Target = target;
        record.Encrypt = encrypt;
        record.ChunkSize = uint32_t(kChunkSize);
        record.Length = length;
        settings.Journal = &record;
    }
    bool finished = false;
    DWORD result;
    {
        VolumeMedium medium(volume, encrypt, VolumeMedium::Mode::ThroughFilter, keys);
        medium.Flusher = flusher;
        result = RunChunkLoop(medium, settings, &finished);
    }
    if (target && finished) DeleteJournal(target);
    // A pause leaves the drive as a power cut would: no key is handed over.
    const bool paused = result == kConversionPaused;

    // The completion request goes out whether the loop finished or not.
    DWORD returned = 0;
    if (encrypt) {
        if (!paused &&
            !DeviceIoControl(volume, IOCTL_CRYPT_SET_KEY, keyBuffer, kKeySize, nullptr, 0, &returned, nullptr)) {
            result = GetLastError();
            SetLastMessage(MSG_ENCRYPT_COMPLETION, unsigned(result));
        } else if (!paused) {
            // Should this read fail, the dismount's read still shows the marker.
            ShowMarkerToFilter(volume);
        }
    } else if (!VolumeControl(volume, IOCTL_CRYPT_END_ENCRYPTION)) {
        result = GetLastError();
        SetLastMessage(MSG_DECRYPT_COMPLETION, unsigned(result));
    }
    SecureWipe(keyBuffer, sizeof keyBuffer);
    return result;
}

namespace tarnsvc {

long SvcStartDriveConversion(const char* devicePath, long encrypt, const char* password) {
    if (!IsDevicePath(devicePath)) return ERROR_INVALID_NAME;
    if (!ClaimWorker()) return ERROR_BUSY;
    // An interrupted conversion is finished by resuming it; a new one would
    // convert its converted chunks twice. Refusals come before the drive's
    // view is closed, so a refused call changes nothing.
    long refused = RefuseWhileJournalled(devicePath);
    if (refused == 0) refused = CloseDriveViews(devicePath);
    if (refused != 0) {
        AbandonWorkerClaim();
        return refused;
    }
    DriveRequest request;
    request.DevicePath = devicePath;
    request.Encrypt = encrypt;
    request.Password = password;
    return StartWorker(DriveWorker, &request);
}

}  // namespace tarnsvc
