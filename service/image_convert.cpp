// SvcStartImageConversion and its worker: encrypts or decrypts a whole image
// file in 64 KiB chunks, in place or into a second file.
//
// The files are opened on the calling RPC thread under the caller's identity
// and handed to the worker: rights are settled at open time, and the worker
// thread has no caller to impersonate.
#include <strings.h>

#include <cstring>
#include <string>

#include "cipher/keys.h"
#include "service/chunk_cipher.h"
#include "service/chunk_media.h"
#include "service/conversion_recovery.h"
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
    std::string Journalled;  // the file's name when converted in place
    HANDLE Source = INVALID_HANDLE_VALUE;
    HANDLE Target = INVALID_HANDLE_VALUE;  // the source's handle when in place
    DWORD OpenError = 0;                   // set when the files could not be opened
    long Encrypt = 0;
    const char* Password = nullptr;
};

DWORD ImageWorker(LPVOID parameter) {
    auto* request = static_cast<ImageRequest*>(parameter);
    const HANDLE source = request->Source;
    const HANDLE target = request->Target;
    const DWORD openError = request->OpenError;
    const bool encrypt = request->Encrypt != 0;
    const std::string journalled = request->Journalled;
    char password[kPasswordCopy] = {};
    if (request->Password) std::strncpy(password, request->Password, sizeof password - 1);
    WorkerArgumentsTaken(request);  // the request is gone from here on

    DWORD result = openError;
    if (result == 0) {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(source, &size)) {
            result = GetLastError();
        } else {
            // In place the file keeps a journal; into a second file the
            // source stays whole and the conversion can simply run again.
            SectorKeys keys(password);
            JournalRecord record;
            ChunkLoopSettings settings;
            settings.Length = uint64_t(size.QuadPart);
            settings.Encrypt = encrypt;
            if (!journalled.empty()) {
                record.Target = journalled;
                record.Image = true;
                record.Encrypt = encrypt;
                record.ChunkSize = uint32_t(kChunkSize);
                record.Length = settings.Length;
                settings.Journal = &record;
                SetActiveJournalTarget(journalled);
            }
            ImageMedium medium(source, target, encrypt, keys);
            bool finished = false;
            result = RunChunkLoop(medium, settings, &finished);
            if (settings.Journal && finished) DeleteJournal(journalled);
            SetActiveJournalTarget("");
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
        request->Journalled = sourceFile;
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
    // Neither file may be an interrupted conversion's: that one is finished
    // by resuming it.
    long refused = RefuseWhileJournalled(sourceFile);
    if (refused == 0) refused = RefuseWhileJournalled(targetFile);
    if (refused != 0) {
        AbandonWorkerClaim();
        return refused;
    }
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
