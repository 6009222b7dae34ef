#include "service/conversion_recovery.h"

#include <cstring>
#include <memory>
#include <mutex>

#include "cipher/sector.h"
#include "service/chunk_cipher.h"
#include "service/chunk_media.h"
#include "service/device_path.h"
#include "service/fs_probe.h"
#include "service/handle_guard.h"
#include "service/impersonation.h"
#include "service/worker_status.h"

namespace {

// Chunks decrypted on trial, at most, when looking for evidence.
constexpr uint64_t kTrialChunks = 16;

struct Active {
    std::mutex Lock;
    std::string Target;
};
Active& TheActive() {
    static Active a;
    return a;
}

unsigned Percent(const JournalRecord& record) {
    const uint64_t count = record.ChunkCount();
    return count ? unsigned(record.Checkpoint * 100 / count) : 100;
}

DWORD RecoverImage(JournalRecord* record) {
    CallerImpersonation caller;
    if (caller.Error() != 0) return DWORD(caller.Error());
    HandleGuard file(CreateFileA(record->Target.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) return GetLastError();
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.Get(), &size) || uint64_t(size.QuadPart) != record->Length) return ERROR_FILE_INVALID;
    SectorKeys keys;
    ImageMedium medium(file.Get(), file.Get(), record->Encrypt, keys);
    return RestoreJournalEntry(medium, record);
}

// The length, then the record's fingerprint (checked by the restore), tell
// the journalled medium from another one put in the same drive since.
DWORD RecoverDrive(JournalRecord* record) {
    HandleGuard volume(OpenVolume(record->Target.c_str()));
    if (!volume.Valid()) return GetLastError();
    uint8_t partition[32] = {};
    DWORD returned = 0;
    int64_t length = -1;
    if (DeviceIoControl(volume.Get(), IOCTL_DISK_GET_PARTITION_INFO, nullptr, 0, partition, sizeof partition,
                        &returned, nullptr))
        std::memcpy(&length, partition + 8, sizeof length);
    if (length < 0 || uint64_t(length) != record->Length) return ERROR_FILE_INVALID;
    if (!VolumeControl(volume.Get(), FSCTL_LOCK_VOLUME)) return GetLastError();
    // A service that ended while decrypting left its key in the filter. The
    // restore must read the stored bytes, and a half-decrypted drive must not
    // be served (or written) through the key: its plaintext part would be
    // decrypted again. Resuming loads nothing either; it clears the key too.
    if (!VolumeControl(volume.Get(), IOCTL_CRYPT_CLEAR_KEY)) return GetLastError();
    return RecoverVolume(volume.Get(), record);
}

}  // namespace

DWORD RecoverVolume(HANDLE volume, JournalRecord* record) {
    SectorKeys keys;
    VolumeMedium medium(volume, record->Encrypt, VolumeMedium::Mode::Raw, keys);
    const DWORD error = RestoreJournalEntry(medium, record);
    if (error != 0) return error;
    // An encryption put back to before its first chunk left no marker: the
    // filter must not go on taking the drive for an encrypted one.
    if (record->Encrypt && record->Checkpoint == 0) VolumeControl(volume, IOCTL_CRYPT_END_ENCRYPTION);
    VolumeControl(volume, FSCTL_UNLOCK_VOLUME);
    VolumeControl(volume, FSCTL_DISMOUNT_VOLUME);
    return 0;
}

void RecoverJournalledDriveAtStart() {
    for (JournalRecord& record : LoadJournalRecords())
        if (!record.Image) RecoverDrive(&record);
}

void RecoverBeforeUse(const char* target) {
    JournalRecord record;
    if (!LoadJournalRecord(target, &record)) return;
    if (WorkerRunning()) return;  // the worker may be writing it now
    if (ReadJournalEntries(record.Target).empty()) return;  // nothing in flight
    if (record.Image)
        RecoverImage(&record);
    else
        RecoverDrive(&record);
}

long RefuseWhileJournalled(const char* target) {
    JournalRecord record;
    if (!LoadJournalRecord(target, &record)) return 0;
    RecoverBeforeUse(target);
    SetLastMessage("The conversion of %s was interrupted at %u%%; resume it to finish.", record.Target.c_str(),
                   Percent(record));
    return ERROR_BUSY;
}

void SetActiveJournalTarget(const std::string& target) {
    Active& a = TheActive();
    std::lock_guard<std::mutex> hold(a.Lock);
    a.Target = target;
}

bool JournalTargetActive(const std::string& target) {
    Active& a = TheActive();
    std::lock_guard<std::mutex> hold(a.Lock);
    return !a.Target.empty() && a.Target == target && WorkerRunning();
}

PasswordVerdict CheckResumePassword(ChunkMedium& medium, const JournalRecord& record, const SectorKeys& keys) {
    const uint64_t count = record.ChunkCount();
    // Where ciphertext is stored now: the converted chunks when encrypting,
    // the unconverted ones when decrypting.
    const uint64_t first = record.Encrypt ? 0 : record.Checkpoint;
    const uint64_t end = record.Encrypt ? record.Checkpoint : count;
    if (first >= end) return PasswordVerdict::Right;  // nothing stored under the key yet
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[kChunkSize]);
    bool evidence = false;
    for (uint64_t c = first; c < end && c < first + kTrialChunks && !evidence; ++c) {
        DWORD got = 0, error = 0;
        if (medium.Read(c * kChunkSize, chunk.get(), DWORD(kChunkSize), &got, &error) !=
            ChunkMedium::ReadOutcome::Data)
            break;
        DecryptTransfer(&keys.User, &keys.Fixed, c * kChunkSize, chunk.get(), got / kUnitSize * kUnitSize);
        evidence = (c == 0 && LooksLikeFileSystem(chunk.get(), got)) || HasZeroBlock(chunk.get(), got);
    }
    SecureWipe(chunk.get(), kChunkSize);
    if (evidence) return PasswordVerdict::Right;
    // The plaintext's file system is stored under the key when chunk 0 is:
    // not finding it means the password is wrong.
    if (record.Recognised && first == 0) return PasswordVerdict::Wrong;
    return PasswordVerdict::Unverifiable;
}
