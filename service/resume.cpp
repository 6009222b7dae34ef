// SvcResumeConversion, SvcQueryConversion and SvcPauseConversion: finishing
// an interrupted conversion from its journal, telling a client about it,
// and stopping a running one at its next durable step.
#include <cstring>
#include <memory>
#include <string>

#include "cipher/keys.h"
#include "service/chunk_media.h"
#include "service/conversion_journal.h"
#include "service/conversion_recovery.h"
#include "service/device_path.h"
#include "service/drive_messages.h"
#include "service/handle_guard.h"
#include "service/impersonation.h"
#include "service/interface.h"
#include "service/procedures.h"
#include "service/worker_start.h"
#include "service/worker_status.h"

namespace {

constexpr size_t kPasswordCopy = 128;
#define MSG_RESIZED "%s no longer has the size its interrupted conversion had; nothing was written."
#define MSG_OTHER_MEDIUM "%s does not hold the medium its interrupted conversion was working on; nothing was written."

struct ResumeRequest : WorkerStart {
    HANDLE Medium = INVALID_HANDLE_VALUE;  // the locked volume or the image file
    HANDLE Flusher = INVALID_HANDLE_VALUE;  // a drive's second handle (VolumeMedium::Flusher)
    const JournalRecord* Record = nullptr;
    const char* Password = nullptr;
};

DWORD ResumeWorker(LPVOID parameter) {
    auto* request = static_cast<ResumeRequest*>(parameter);
    HandleGuard medium(request->Medium);
    HandleGuard flusher(request->Flusher);
    JournalRecord record = *request->Record;
    char password[kPasswordCopy] = {};
    if (request->Password) std::strncpy(password, request->Password, sizeof password - 1);
    WorkerArgumentsTaken(request);

    SetActiveJournalTarget(record.Target);
    SectorKeys keys(password);
    ChunkLoopSettings settings;
    settings.Length = record.Length;
    settings.First = record.Checkpoint;
    settings.Encrypt = record.Encrypt;
    settings.Journal = &record;
    settings.Exists = true;
    bool finished = false;
    DWORD result = 0;
    if (record.Image) {
        ImageMedium image(medium.Get(), medium.Get(), record.Encrypt, keys);
        result = RunChunkLoop(image, settings, &finished);
        if (finished) DeleteJournal(record.Target);
    } else {
        {
            VolumeMedium volume(medium.Get(), record.Encrypt, VolumeMedium::Mode::Raw, keys);
            volume.Flusher = flusher.Get();
            result = RunChunkLoop(volume, settings, &finished);
        }
        if (finished) DeleteJournal(record.Target);
        // The completion of a first run: the key goes to the filter, or the
        // encrypted state ends. A pause hands over no key.
        DWORD returned = 0;
        if (record.Encrypt) {
            uint8_t keyBuffer[kKeyBufferSize];
            BuildKeyBuffer(password, keyBuffer);
            if (result != kConversionPaused &&
                !DeviceIoControl(medium.Get(), IOCTL_CRYPT_SET_KEY, keyBuffer, kKeySize, nullptr, 0, &returned,
                                 nullptr)) {
                result = GetLastError();
                SetLastMessage(MSG_ENCRYPT_COMPLETION, unsigned(result));
            }
            SecureWipe(keyBuffer, sizeof keyBuffer);
        } else if (!VolumeControl(medium.Get(), IOCTL_CRYPT_END_ENCRYPTION)) {
            result = GetLastError();
            SetLastMessage(MSG_DECRYPT_COMPLETION, unsigned(result));
        }
        if (result == 0 || result == kConversionPaused) {
            VolumeControl(medium.Get(), FSCTL_UNLOCK_VOLUME);
            VolumeControl(medium.Get(), FSCTL_DISMOUNT_VOLUME);
        }
    }
    medium.Close();
    SetActiveJournalTarget("");
    SecureWipe(password, sizeof password);
    SetWorkerResult(int32_t(result));
    FinishWorker();
    return 0;
}

// Opens and prepares the medium on the RPC thread: a drive is locked and its
// filter drops any key, so reads give the stored bytes (and *flusher gets a
// second handle, opened before the lock, when one can be had); an image is
// opened with the caller's rights. INVALID_HANDLE_VALUE with the error
// otherwise.
HANDLE OpenForResume(const JournalRecord& record, DWORD* error, HANDLE* flusher) {
    if (record.Image) {
        CallerImpersonation caller;
        if (caller.Error() != 0) {
            *error = DWORD(caller.Error());
            return INVALID_HANDLE_VALUE;
        }
        HANDLE file = CreateFileA(record.Target.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            *error = GetLastError();
            SetLastMessage(MSG_OPEN_FILE_ERROR, unsigned(*error));
            return file;
        }
        // A file that changed size since is not the one the journal describes.
        LARGE_INTEGER size;
        if (!GetFileSizeEx(file, &size) || uint64_t(size.QuadPart) != record.Length) {
            *error = ERROR_FILE_INVALID;
            SetLastMessage(MSG_RESIZED, record.Target.c_str());
            CloseHandle(file);
            return INVALID_HANDLE_VALUE;
        }
        return file;
    }
    HandleGuard volume(OpenVolume(record.Target.c_str()));
    if (!volume.Valid()) {
        *error = GetLastError();
        SetLastMessage(MSG_CANT_OPEN_DRIVE);
        return INVALID_HANDLE_VALUE;
    }
    HandleGuard second(OpenVolume(record.Target.c_str()));
    uint8_t partition[32] = {};
    DWORD returned = 0;
    int64_t length = -1;
    if (DeviceIoControl(volume.Get(), IOCTL_DISK_GET_PARTITION_INFO, nullptr, 0, partition, sizeof partition, &returned,
                        nullptr))
        std::memcpy(&length, partition + 8, sizeof length);
    if (length < 0 || uint64_t(length) != record.Length) {
        *error = ERROR_FILE_INVALID;
        SetLastMessage(MSG_RESIZED, record.Target.c_str());
        return INVALID_HANDLE_VALUE;
    }
    if (!VolumeControl(volume.Get(), FSCTL_LOCK_VOLUME)) {
        *error = GetLastError();
        SetLastMessage(MSG_CANT_LOCK);
        return INVALID_HANDLE_VALUE;
    }
    if (!VolumeControl(volume.Get(), IOCTL_CRYPT_CLEAR_KEY)) {
        *error = GetLastError();
        SetLastMessage(MSG_PROCESS_ERROR, unsigned(*error));
        return INVALID_HANDLE_VALUE;
    }
    *flusher = second.Release();
    return volume.Release();  // open and locked: the worker takes it
}

}  // namespace

namespace tarnsvc {

long SvcResumeConversion(const char* target, const char* password, long confirmed) {
    if (target == nullptr || target[0] == '\0' || password == nullptr) return ERROR_INVALID_PARAMETER;
    JournalRecord record;
    if (!LoadJournalRecord(target, &record)) return ERROR_NOT_FOUND;
    if (!ClaimWorker()) return ERROR_BUSY;
    DWORD error = 0;
    HANDLE second = INVALID_HANDLE_VALUE;
    HandleGuard medium(OpenForResume(record, &error, &second));
    HandleGuard flusher(second);
    if (!medium.Valid()) {
        AbandonWorkerClaim();
        return long(error);
    }
    // The torn chunks first, then the password, all before the first write
    // of the resumed conversion.
    SectorKeys keys(password);
    PasswordVerdict verdict;
    {
        std::unique_ptr<ChunkMedium> reader;
        if (record.Image)
            reader.reset(new ImageMedium(medium.Get(), medium.Get(), record.Encrypt, keys));
        else
            reader.reset(new VolumeMedium(medium.Get(), record.Encrypt, VolumeMedium::Mode::Raw, keys));
        // Another medium of the same size in the drive (or another file
        // under the image's name) must get none of the journal's bytes.
        error = CheckJournalledMedium(*reader, record);
        if (error == ERROR_FILE_INVALID)
            SetLastMessage(MSG_OTHER_MEDIUM, record.Target.c_str());
        else if (error != 0)
            SetLastMessage(MSG_READ_ERROR, unsigned(error));
        else if ((error = RestoreJournalEntry(*reader, &record)) != 0)
            SetLastMessage(MSG_WRITE_ERROR, unsigned(error));
        verdict = error == 0 ? CheckResumePassword(*reader, record, keys) : PasswordVerdict::Wrong;
    }
    if (error != 0) {
        AbandonWorkerClaim();
        return long(error);
    }
    if (verdict == PasswordVerdict::Wrong) {
        SetLastMessage("The password is wrong; nothing was written.");
        AbandonWorkerClaim();
        return ERROR_INVALID_PASSWORD;
    }
    if (verdict == PasswordVerdict::Unverifiable && confirmed == 0) {
        SetLastMessage("The password cannot be checked: no file system was recognised on this medium.");
        AbandonWorkerClaim();
        return TARNSVC_RESUME_UNVERIFIED;
    }
    ResumeRequest request;
    request.Medium = medium.Get();
    request.Flusher = flusher.Get();
    request.Record = &record;
    request.Password = password;
    const long started = StartWorker(ResumeWorker, &request);
    if (started == 0) {  // the worker owns them now
        medium.Release();
        flusher.Release();
    }
    return started;
}

long SvcQueryConversion(const char* target, uint8_t* state) {
    CONVERSION_STATE out{};
    long result = ERROR_NOT_FOUND;
    if (target != nullptr && target[0] != '\0') {
        RecoverBeforeUse(target);
        JournalRecord record;
        if (LoadJournalRecord(target, &record)) {
            out.Encrypt = record.Encrypt ? 1 : 0;
            out.Image = record.Image ? 1 : 0;
            out.ChunksDone = record.Checkpoint;
            out.ChunkCount = record.ChunkCount();
            out.Running = JournalTargetActive(record.Target) ? 1 : 0;
            out.Percent = out.ChunkCount ? uint32_t(out.ChunksDone * 100 / out.ChunkCount) : 100;
            result = 0;
        }
    }
    if (state) std::memcpy(state, &out, sizeof out);
    return result;
}

long SvcPauseConversion() { return RequestPause() ? 0 : ERROR_NOT_FOUND; }

}  // namespace tarnsvc
