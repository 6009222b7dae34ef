// The conversion journal: what the service keeps, outside the medium, about
// an in-place conversion while it runs, so that a crash, a power cut or a
// pause leaves a medium that can be put right and finished.
//
// - In the registry (HKLM "SYSTEM\CurrentControlSet\Services\tarnsvc\Conversions",
//   one subkey per target named after its tag, 16 hex digits):
//   the target (device path or image file), whether it is an image, the
//   direction, the chunk size, the length, whether its plaintext held a file
//   system the recognizer test knows, the checkpoint: the number of chunks
//   from 0 that are converted and durable, and the medium's fingerprint.
// - In the files "conversion-TAG-0.journal", "-1.journal" and "-2.journal"
//   of the machine directory, used in turn: one entry each, the bytes of a
//   step's chunks as they must be put back should their writes be torn
//   (chunks that are all zero only marked as such), written and flushed
//   before the first of them is overwritten. Three files let the next step's
//   entry be written while this step's chunks are written and the step
//   before is made durable; a torn entry only ever spoils the newest file.
//
// Neither part ever holds a password or a key. Each target has at most one
// journal; only one of them is written at a time (one worker runs).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "service/win32.h"

#define TARNSVC_JOURNAL_KEY "SYSTEM\\CurrentControlSet\\Services\\tarnsvc\\Conversions"
// Longest target kept, terminator included; largest entry of the file.
#define TARNSVC_MAX_JOURNAL_TARGET 4096u
#define TARNSVC_MAX_JOURNAL_BYTES (64u << 20)
// Journal files per target, used in turn by consecutive steps.
#define TARNSVC_JOURNAL_FILES 3

// One chunk whose stored bytes stay as they are while the record says what
// it says (the last converted one, or before the first checkpoint one past
// the reach of the steps in flight) and the XXH3 of those bytes: it tells
// the journalled medium from another of the same size put in its place,
// which a restore or a resume would otherwise overwrite.
struct MediumFingerprint {
    static constexpr uint64_t kNone = UINT64_MAX;
    uint64_t Chunk = kNone;
    uint64_t Hash = 0;
    bool Valid() const { return Chunk != kNone; }
};

uint64_t FingerprintHash(const uint8_t* bytes, size_t length);

struct JournalRecord {
    std::string Target;       // "\\.\E:" or the image file's path
    bool Image = false;
    bool Encrypt = false;
    uint32_t ChunkSize = 0;
    uint64_t Length = 0;      // bytes of the medium
    bool Recognised = false;  // the plaintext's first chunk passed the recognizer test
    uint64_t Checkpoint = 0;  // chunks [0, Checkpoint) are converted and durable
    MediumFingerprint Medium;  // none in records written before it existed

    uint64_t ChunkCount() const { return ChunkSize ? (Length + ChunkSize - 1) / ChunkSize : 0; }
};

// The in-flight entry of the journal file. Restoring it writes Bytes at
// FirstChunk's offset; RollForward says the bytes are the converted ones
// (the checkpoint then moves past them), otherwise they are the originals.
struct JournalEntry {
    uint64_t FirstChunk = 0;
    uint32_t Chunks = 0;
    bool RollForward = false;
    std::vector<uint8_t> Bytes;
};

// Registry part. Targets compare as the in-place test compares image names:
// case aside. Load: false when there is no record (or it is unreadable).
bool LoadJournalRecord(const char* target, JournalRecord* record);
std::vector<JournalRecord> LoadJournalRecords();
DWORD SaveJournalRecord(const JournalRecord& record);
// The fingerprint, when valid, is saved first: each of the two values is
// true of the medium on its own, so a cut between them is harmless.
DWORD SaveJournalCheckpoint(const std::string& target, uint64_t checkpoint,
                            const MediumFingerprint& medium = MediumFingerprint());
// Removes the record and the journal file.
void DeleteJournal(const std::string& target);

// The journal file. The writer keeps it open for the conversion's life.
class JournalFile {
public:
    JournalFile() = default;
    ~JournalFile();
    JournalFile(const JournalFile&) = delete;
    JournalFile& operator=(const JournalFile&) = delete;

    // Opens (creates) the files for the journalled target; 0 or the Win32 error.
    DWORD Open(const std::string& target);
    // Writes the entry over the file's previous one and flushes it to the
    // disk; 0 or the Win32 error. One write per file at a time.
    DWORD Write(int file, uint64_t firstChunk, uint32_t chunks, bool rollForward, const uint8_t* bytes, size_t length);

private:
    HANDLE Files[TARNSVC_JOURNAL_FILES] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    uint64_t TargetTag = 0;
};

// Reads the entry of one file; false when there is none or it is torn (its
// checksum does not match), which means no chunk write had started for it.
// An entry written for another target does not count.
bool ReadJournalEntry(const std::string& target, int file, JournalEntry* entry);
// The whole entries of the files, in ascending chunk order.
std::vector<JournalEntry> ReadJournalEntries(const std::string& target);
// Empties the journal files once their entries have been restored.
void ClearJournalEntry(const std::string& target);

// The path of a target's journal file 0 to TARNSVC_JOURNAL_FILES - 1.
std::string JournalFilePath(const std::string& target, int file);
