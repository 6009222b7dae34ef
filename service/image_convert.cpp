// SvcStartImageConversion and its worker: encrypts or decrypts a whole image
// file in 64 KiB chunks, in place or into a second file.
//
// The files are opened on the calling RPC thread under the caller's identity
// and handed to the worker: rights are settled at open time, and the worker
// thread has no caller to impersonate.
#include <strings.h>

#include <cstring>
#include <memory>

#include "cipher/keys.h"
#include "service/chunk_cipher.h"
#include "service/drive_messages.h"
#include "service/fault_injection.h"
#include "service/impersonation.h"
#include "service/procedures.h"
#include "service/win32.h"
#include "service/worker_start.h"
#include "service/worker_status.h"

namespace {

constexpr size_t kPasswordCopy = 128;

struct ImageRequest : WorkerStart {
    HANDLE Source = INVALID_HANDLE_VALUE;
    HANDLE Target = INVALID_HANDLE_VALUE;  // the source's handle when in place
    DWORD OpenError = 0;                   // set when the files could not be opened
    long Encrypt = 0;
    const char* Password = nullptr;
};

bool Seek(HANDLE h, uint64_t position) {
    LARGE_INTEGER at;
    at.QuadPart = int64_t(position);
    return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) != FALSE;
}

// The chunk loop. Returns the outcome (0 or a Win32 error).
DWORD ConvertImage(HANDLE source, HANDLE target, uint64_t size, bool encrypt, const SectorKeys& keys) {
    const uint64_t count = (size + kChunkSize - 1) / kChunkSize;
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[kChunkSize]);
    DWORD outcome = 0;
    SetWorkerProgress(0);
    for (uint64_t j = 0; j < count; ++j) {
        WaitIfHeld(j);
        SetWorkerProgress(int32_t(j * 100 / count));
        const uint64_t position = j * kChunkSize;
        // A failed seek is noted and the loop carries on.
        if (!Seek(source, position)) outcome = GetLastError();
        DWORD n = 0;
        if (!ReadFile(source, chunk.get(), DWORD(kChunkSize), &n, nullptr)) {
            outcome = GetLastError();
            SetLastMessage(MSG_READ_ERROR, unsigned(outcome));
            break;
        }
        if (n == 0) continue;  // end of file: nothing to write
        if (encrypt)
            EncryptChunk(keys, j, chunk.get(), n);
        else
            DecryptImageChunk(keys, j, chunk.get(), n);
        if (!Seek(target, position)) outcome = GetLastError();
        DWORD written = 0;
        uint32_t injected = 0;
        bool ok;
        if (ChunkWriteFails(j, &injected)) {
            SetLastError(injected);
            ok = false;
        } else {
            ok = WriteFile(target, chunk.get(), n, &written, nullptr) != FALSE;
            if (ok && written != n) {
                SetLastError(ERROR_DISK_FULL);
                ok = false;
            }
        }
        if (!ok) {
            outcome = GetLastError();
            SetLastMessage(MSG_WRITE_ERROR, unsigned(outcome));
            break;
        }
    }
    SecureWipe(chunk.get(), kChunkSize);
    return outcome;
}

DWORD ImageWorker(LPVOID parameter) {
    auto* request = static_cast<ImageRequest*>(parameter);
    const HANDLE source = request->Source;
    const HANDLE target = request->Target;
    const DWORD openError = request->OpenError;
    const bool encrypt = request->Encrypt != 0;
    char password[kPasswordCopy] = {};
    if (request->Password) std::strncpy(password, request->Password, sizeof password - 1);
    WorkerArgumentsTaken(request);  // the request is gone from here on

    DWORD result = openError;
    if (result == 0) {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(source, &size)) {
            result = GetLastError();
        } else {
            SectorKeys keys(password);
            result = ConvertImage(source, target, uint64_t(size.QuadPart), encrypt, keys);
        }
    }
    SecureWipe(password, sizeof password);
    if (source != INVALID_HANDLE_VALUE) CloseHandle(source);
    if (target != INVALID_HANDLE_VALUE && target != source) CloseHandle(target);
    SetWorkerResult(int32_t(result));
    FinishWorker();
    return 0;
}

// Opens both files as the caller. In place when the names are equal, case
// aside; otherwise the target is opened (or created) without truncation, so
// bytes past the source's length stay.
void OpenImages(const char* sourceFile, const char* targetFile, ImageRequest* request) {
    CallerImpersonation caller;
    if (caller.Error() != 0) {
        request->OpenError = DWORD(caller.Error());
        return;
    }
    const DWORD flags = FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL;
    if (strcasecmp(sourceFile, targetFile) == 0) {
        request->Source = CreateFileA(sourceFile, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, flags, nullptr);
        if (request->Source == INVALID_HANDLE_VALUE) request->OpenError = GetLastError();
        request->Target = request->Source;
        return;
    }
    request->Source = CreateFileA(sourceFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags, nullptr);
    if (request->Source == INVALID_HANDLE_VALUE) {
        request->OpenError = GetLastError();
        return;
    }
    request->Target = CreateFileA(targetFile, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, flags, nullptr);
    if (request->Target == INVALID_HANDLE_VALUE) {
        request->OpenError = GetLastError();
        CloseHandle(request->Source);
        request->Source = INVALID_HANDLE_VALUE;
    }
}

}  // namespace

namespace tarnsvc {

long SvcStartImageConversion(const char* sourceFile, const char* targetFile, long encrypt, const char* password) {
    if (sourceFile == nullptr || targetFile == nullptr || sourceFile[0] == '\0' || targetFile[0] == '\0')
        return ERROR_INVALID_PARAMETER;
    // Claim the worker before opening anything: a refused start must not even
    // open the files of a conversion that is running.
    if (!ClaimWorker()) return ERROR_BUSY;
    ImageRequest request;
    request.Encrypt = encrypt;
    request.Password = password;
    OpenImages(sourceFile, targetFile, &request);
    if (request.OpenError != 0)
        SetLastMessage(MSG_OPEN_FILE_ERROR, unsigned(request.OpenError));
    long started = StartWorker(ImageWorker, &request);
    if (started != 0) {
        if (request.Source != INVALID_HANDLE_VALUE) CloseHandle(request.Source);
        if (request.Target != INVALID_HANDLE_VALUE && request.Target != request.Source) CloseHandle(request.Target);
    }
    return started;
}

}  // namespace tarnsvc
