// SvcStartDriveConversion, its worker and the conversion loop.
#include "service/drive_conversion.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "cipher/keys.h"
#include "service/chunk_cipher.h"
#include "service/device_path.h"
#include "service/file_system_views.h"
#include "service/drive_messages.h"
#include "service/fault_injection.h"
#include "service/handle_guard.h"
#include "service/procedures.h"
#include "service/worker_start.h"
#include "service/worker_status.h"

namespace {

constexpr size_t kPasswordCopy = 128;
constexpr size_t kRawHeader = 8;

struct AlignedFree {
    void operator()(uint8_t* p) const { std::free(p); }
};
using AlignedBuffer = std::unique_ptr<uint8_t, AlignedFree>;

// Unbuffered volume I/O wants sector-aligned buffers.
AlignedBuffer AllocateAligned(size_t bytes) {
    return AlignedBuffer(static_cast<uint8_t*>(std::aligned_alloc(4096, (bytes + 4095) / 4096 * 4096)));
}

bool Seek(HANDLE h, uint64_t position) {
    LARGE_INTEGER at;
    at.QuadPart = int64_t(position);
    return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) != FALSE;
}

// Writes one chunk: ciphertext through the filter when encrypting, plaintext
// past it with a raw write when decrypting. False with the last error set.
bool WriteChunk(HANDLE volume, uint64_t chunk, uint64_t position, uint8_t* data, DWORD n, bool encrypt,
                uint8_t* rawRequest) {
    uint32_t injected = 0;
    if (ChunkWriteFails(chunk, &injected)) {
        SetLastError(injected);
        return false;
    }
    if (encrypt) {
        DWORD written = 0;
        if (!WriteFile(volume, data, n, &written, nullptr)) return false;
        if (written != n) {
            SetLastError(ERROR_DISK_FULL);
            return false;
        }
        return true;
    }
    const int64_t offset = int64_t(position);
    std::memcpy(rawRequest, &offset, kRawHeader);  // little-endian byte offset
    std::memcpy(rawRequest + kRawHeader, data, n);
    DWORD returned = 0;
    return DeviceIoControl(volume, IOCTL_CRYPT_RAW_WRITE, rawRequest, DWORD(n + kRawHeader), nullptr, 0, &returned,
                           nullptr) != FALSE;
}

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
        result = RunDriveConversion(volume.Get(), length < 0 ? 0 : uint64_t(length), encrypt, password);
        if (result == 0) {
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

DWORD RunDriveConversion(HANDLE volume, uint64_t length, bool encrypt, const char* password) {
    SectorKeys keys(password);
    uint8_t keyBuffer[kKeyBufferSize];
    BuildKeyBuffer(password, keyBuffer);

    const uint64_t count = (length + kChunkSize - 1) / kChunkSize;
    DWORD result = 0;
    SetWorkerProgress(0);
    AlignedBuffer chunk = AllocateAligned(kChunkSize);
    AlignedBuffer raw = encrypt ? AlignedBuffer() : AllocateAligned(kChunkSize + kRawHeader);
    if (!chunk || (!encrypt && !raw)) {
        result = ERROR_NOT_ENOUGH_MEMORY;
        SetLastMessage(MSG_WRITE_ERROR, unsigned(result));
    }
    for (uint64_t j = 0; result != ERROR_NOT_ENOUGH_MEMORY && j < count; ++j) {
        WaitIfHeld(j);
        SetWorkerProgress(int32_t(j * 100 / count));
        const uint64_t position = j * kChunkSize;
        if (!Seek(volume, position)) {
            result = GetLastError();
            SetLastMessage(MSG_PROCESS_ERROR, unsigned(result));
        }
        DWORD n = 0;
        if (!ReadFile(volume, chunk.get(), DWORD(kChunkSize), &n, nullptr) || n == 0) {
            // A volume that ends before its reported length is a failure, not
            // a conversion that finished.
            result = GetLastError();
            if (result == 0) result = ERROR_HANDLE_EOF;
            SetLastMessage(MSG_READ_ERROR, unsigned(result));
            break;
        }
        if (!Seek(volume, position)) {
            result = GetLastError();
            SetLastMessage(MSG_PROCESS_ERROR, unsigned(result));
        }
        if (encrypt) EncryptChunk(keys, j, chunk.get(), n);
        if (!WriteChunk(volume, j, position, chunk.get(), n, encrypt, raw.get())) {
            result = GetLastError();
            SetLastMessage(MSG_WRITE_ERROR, unsigned(result));
            break;
        }
    }
    if (chunk) SecureWipe(chunk.get(), kChunkSize);
    if (raw) SecureWipe(raw.get(), kChunkSize + kRawHeader);

    // The completion request goes out whether the loop finished or not.
    DWORD returned = 0;
    if (encrypt) {
        if (!DeviceIoControl(volume, IOCTL_CRYPT_SET_KEY, keyBuffer, kKeySize, nullptr, 0, &returned, nullptr)) {
            result = GetLastError();
            SetLastMessage(MSG_ENCRYPT_COMPLETION, unsigned(result));
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
    if (const long views = CloseDriveViews(devicePath); views != 0) return views;
    if (!ClaimWorker()) return ERROR_BUSY;
    DriveRequest request;
    request.DevicePath = devicePath;
    request.Encrypt = encrypt;
    request.Password = password;
    return StartWorker(DriveWorker, &request);
}

}  // namespace tarnsvc
