#include "service/chunk_loop.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>

#include "cipher/keys.h"
#include "cipher/sector.h"
#include "service/aligned_buffer.h"
#include "service/chunk_cipher.h"
#include "service/drive_messages.h"
#include "service/fault_injection.h"
#include "service/fs_probe.h"
#include "service/worker_status.h"

namespace {

// Whether the plaintext of chunk 0 holds a file system, told from a copy:
// the loop's own buffer must keep the bytes as read.
bool FirstChunkRecognised(ChunkMedium& medium, const uint8_t* data, DWORD length, bool plain) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[length]);
    std::memcpy(copy.get(), data, length);
    if (!plain) {
        medium.Transform(0, copy.get(), length);
        // Where the marker stood the drivers show the boot signature; an
        // image's decryption gives it back only to boot records it knows.
        if (length >= kUnitSize) {
            copy[kMarkerOffset] = 0x55;
            copy[kMarkerOffset + 1] = 0xAA;
        }
    }
    const bool recognised = LooksLikeFileSystem(copy.get(), length);
    SecureWipe(copy.get(), length);
    return recognised;
}

}  // namespace

namespace {

// One durable step: chunks [First, End), their bytes one after another.
struct Step {
    uint64_t First = 0;
    uint64_t End = 0;
    DWORD Bytes = 0;
    DWORD Lengths[kJournalSpan] = {};
    DWORD ReadError = 0;  // the read that ended the step early failed
};

// Reads a step; it ends early before a held chunk and after a short one.
Step ReadStep(ChunkMedium& medium, uint64_t first, uint64_t count, uint64_t length, uint32_t span, uint8_t* data) {
    Step step;
    step.First = step.End = first;
    uint64_t end = std::min<uint64_t>(count, first + span);
    for (uint64_t c = first + 1; c < end; ++c)
        if (ChunkIsHeld(c)) end = c;
    // Whole runs first; from a run that fails, chunk by chunk.
    while (end - step.End > 1) {
        const uint64_t runEnd = std::min<uint64_t>(end, step.End + kRunChunks);
        const uint64_t bytes = std::min<uint64_t>((runEnd - step.End) * kChunkSize, length - step.End * kChunkSize);
        SetWorkerProgress(int32_t(step.End * 100 / count));
        if (!medium.ReadRun(step.End * kChunkSize, data + step.Bytes, DWORD(bytes))) break;
        for (uint64_t c = step.End; c < runEnd; ++c)
            step.Lengths[c - first] = DWORD(std::min<uint64_t>(kChunkSize, bytes - (c - step.End) * kChunkSize));
        step.Bytes += DWORD(bytes);
        step.End = runEnd;
    }
    while (step.End < count && step.End - first < span) {
        if (step.End > first && ChunkIsHeld(step.End)) break;
        SetWorkerProgress(int32_t(step.End * 100 / count));
        DWORD got = 0;
        const auto read = medium.Read(step.End * kChunkSize, data + step.Bytes, DWORD(kChunkSize), &got, &step.ReadError);
        if (read == ChunkMedium::ReadOutcome::Failed) break;
        const DWORD n = read == ChunkMedium::ReadOutcome::End ? 0 : got;
        step.Lengths[step.End - first] = n;
        step.Bytes += n;
        ++step.End;
        if (n < kChunkSize) break;
    }
    return step;
}

// The hash of one chunk's bytes as read: 0, the read's error, or
// ERROR_HANDLE_EOF when the medium ends before it. The copy is wiped.
DWORD HashOfChunk(ChunkMedium& medium, uint64_t chunk, uint64_t* hash) {
    AlignedBuffer bytes = AllocateAligned(kChunkSize);
    if (!bytes) return ERROR_NOT_ENOUGH_MEMORY;
    DWORD got = 0, error = 0;
    const auto read = medium.Read(chunk * kChunkSize, bytes.get(), DWORD(kChunkSize), &got, &error);
    if (read == ChunkMedium::ReadOutcome::Data) *hash = FingerprintHash(bytes.get(), got);
    SecureWipe(bytes.get(), kChunkSize);
    if (read == ChunkMedium::ReadOutcome::Failed) return error ? error : DWORD(ERROR_READ_FAULT);
    return read == ChunkMedium::ReadOutcome::Data ? 0 : DWORD(ERROR_HANDLE_EOF);
}

// A fingerprint of the chunk (the medium's reads must give the stored
// bytes); none when the chunk is past the end or cannot be read.
MediumFingerprint FingerprintOf(ChunkMedium& medium, uint64_t chunk, uint64_t count) {
    MediumFingerprint fingerprint;
    if (chunk < count && HashOfChunk(medium, chunk, &fingerprint.Hash) == 0) fingerprint.Chunk = chunk;
    return fingerprint;
}

void TransformStep(ChunkMedium& medium, const Step& step, uint8_t* data) {
    for (DWORD off = 0, c = 0; step.First + c < step.End; off += step.Lengths[c], ++c)
        if (step.Lengths[c]) medium.Transform(step.First + c, data + off, step.Lengths[c]);
}

// What the loop's other thread did for a step: made the step before it
// durable (its flush, then its checkpoint) and wrote the next step's entry.
struct Aside {
    DWORD Error = 0;
    bool Flush = false;  // the error is the flush's
};

// The flush, then the checkpoint that counts on it. `aside`: called on
// another thread while the loop writes on.
Aside MakeDurable(ChunkMedium& medium, bool aside, const std::string& target, uint64_t checkpoint,
                  const MediumFingerprint& fingerprint) {
    if (DWORD error = aside ? medium.FlushAside() : medium.Flush(); error != 0) return {error, true};
    return {SaveJournalCheckpoint(target, checkpoint, fingerprint), false};
}

// The work that runs beside a step's writes: the step before it made
// durable, and the next step's entry written, each on a thread of its own
// (they touch different files, and the disk takes both flushes at once).
struct Beside {
    std::future<Aside> Durable;
    std::future<DWORD> Entry;

    // Waits for both; the flush's failure comes first, since it decides what
    // may still count.
    Aside Wait() {
        Aside done = Durable.valid() ? Durable.get() : Aside();
        const DWORD entry = Entry.valid() ? Entry.get() : DWORD(0);
        if (done.Error == 0 && entry != 0) done = {entry, false};
        return done;
    }
};

// The journal file of a step: consecutive steps use the files in turn.
int JournalFileOf(uint64_t stepNumber) { return int(stepNumber % TARNSVC_JOURNAL_FILES); }

}  // namespace

// Steps run one after another. While a step's chunks are written, one thread
// flushes the step before it and records its checkpoint, and another writes
// the next step's entry into the file of the step three back (recorded by
// then): at most two steps are ever unaccounted for, and both have whole
// entries.
DWORD RunChunkLoop(ChunkMedium& medium, const ChunkLoopSettings& s, bool* finished) {
    *finished = false;
    const uint64_t count = (s.Length + kChunkSize - 1) / kChunkSize;
    const uint32_t span = s.Journal ? kJournalSpan : kRunChunks;
    const bool converted = s.ReadsConverted;
    SetWorkerProgress(int32_t(s.First < count ? s.First * 100 / count : 0));
    AlignedBuffer buffers[2] = {AllocateAligned(size_t(span) * kChunkSize),
                                s.Journal ? AllocateAligned(size_t(span) * kChunkSize) : AlignedBuffer()};
    if (!buffers[0] || (s.Journal && !buffers[1])) {
        SetLastMessage(MSG_WRITE_ERROR, unsigned(ERROR_NOT_ENOUGH_MEMORY));
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    JournalFile journal;
    bool recordSaved = s.Exists;
    DWORD outcome = 0;
    if (s.Journal) {
        if (DWORD error = journal.Open(s.Journal->Target); error != 0) {
            SetLastMessage(MSG_JOURNAL_ERROR, unsigned(error));
            return error;
        }
    }
    int slot = 0;
    // The in-memory checkpoint is ahead of the registry's: the chunks before
    // it are written, but not yet flushed nor recorded.
    bool unsaved = false;
    bool flushFailed = false;  // nothing written may count after that
    Step step;
    bool haveStep = false;  // read ahead, its entry being written
    Beside pending;
    uint64_t stepNumber = 0;  // of this run, which picks the step's journal file
    uint64_t j = s.First;
    bool stop = false;
    while (!stop && j < count) {
        uint8_t* data = buffers[slot].get();
        if (!haveStep) {
            // Nothing was read ahead (a hold, a pause, the first step): the
            // step just made durable is recorded before anything waits or
            // its entry's file is written again.
            if (unsaved) {
                unsaved = false;
                const Aside done =
                    MakeDurable(medium, false, s.Journal->Target, s.Journal->Checkpoint, s.Journal->Medium);
                if (done.Error != 0) {
                    SetLastMessage(done.Flush ? MSG_WRITE_ERROR : MSG_JOURNAL_ERROR, unsigned(done.Error));
                    flushFailed = done.Flush;
                    outcome = done.Error;
                    break;
                }
            }
            WaitIfHeld(j);
            if (PauseRequested()) {
                outcome = kConversionPaused;
                SetLastMessage(MSG_PAUSED, unsigned(j * 100 / count));
                break;
            }
            step = ReadStep(medium, j, count, s.Length, span, data);
            if (step.End == j) {
                outcome = step.ReadError;
                break;
            }
            if (converted) TransformStep(medium, step, data);
            if (s.Journal && step.Bytes > 0) {
                DWORD error = 0;
                if (!recordSaved) {
                    s.Journal->Checkpoint = j;
                    // Before the first checkpoint: a chunk the two steps in
                    // flight cannot reach. Reads through the filter's key
                    // do not give the stored bytes, and the loop has no key
                    // to turn them back: such a record gets its fingerprint
                    // with its first checkpoint.
                    if (!converted) s.Journal->Medium = FingerprintOf(medium, j + 2 * uint64_t(span), count);
                    s.Journal->Recognised =
                        j == 0 && FirstChunkRecognised(medium, data, step.Lengths[0], s.Encrypt || converted);
                    error = SaveJournalRecord(*s.Journal);
                    recordSaved = error == 0;
                }
                if (error == 0)
                    error = journal.Write(JournalFileOf(stepNumber), j, uint32_t(step.End - j), converted, data,
                                          step.Bytes);
                if (error != 0) {
                    SetLastMessage(MSG_JOURNAL_ERROR, unsigned(error));
                    outcome = error;
                    break;
                }
            }
        } else {
            const Aside done = pending.Wait();
            if (done.Error != 0) {
                SetLastMessage(done.Flush ? MSG_WRITE_ERROR : MSG_JOURNAL_ERROR, unsigned(done.Error));
                flushFailed = done.Flush;
                outcome = done.Error;
                break;
            }
            if (PauseRequested()) {
                outcome = kConversionPaused;
                SetLastMessage(MSG_PAUSED, unsigned(j * 100 / count));
                break;
            }
        }
        if (step.ReadError != 0) {
            outcome = step.ReadError;
            stop = true;
        }
        // Read the next step and write its entry meanwhile.
        Step next;
        bool haveNext = false;
        uint8_t* nextData = buffers[1 - slot].get();
        if (!stop && s.Journal && step.End < count && !ChunkIsHeld(step.End) && !PauseRequested()) {
            next = ReadStep(medium, step.End, count, s.Length, span, nextData);
            if (next.End > step.End) {
                haveNext = true;
                if (converted) TransformStep(medium, next, nextData);
                const uint64_t first = next.First;
                const uint32_t chunks = uint32_t(next.End - next.First);
                const DWORD bytes = next.Bytes;
                // The step before this one becomes durable and is recorded;
                // the next step's file held the entry of the step before
                // that, recorded before this step began.
                const std::string target = s.Journal->Target;
                const uint64_t checkpoint = s.Journal->Checkpoint;
                const MediumFingerprint fingerprint = s.Journal->Medium;
                const int file = JournalFileOf(stepNumber + 1);
                if (unsaved) {
                    pending.Durable = std::async(std::launch::async, [&medium, target, checkpoint, fingerprint] {
                        return MakeDurable(medium, true, target, checkpoint, fingerprint);
                    });
                }
                unsaved = false;
                if (bytes) {
                    pending.Entry = std::async(std::launch::async, [&journal, file, first, chunks, converted,
                                                                    nextData, bytes] {
                        return journal.Write(file, first, chunks, converted, nextData, bytes);
                    });
                }
            } else if (next.ReadError != 0) {
                outcome = next.ReadError;  // after this step is written
            }
        }
        // Write the step, whole where the medium can; a failed write ends it,
        // and what was written before it still becomes durable and counts (a
        // whole-step write that fails counts nothing: its entry puts it back).
        uint64_t written = j;
        for (DWORD off = 0; !stop && written < step.End;) {
            // Each run is transformed just before its write, while in cache.
            const uint64_t runEnd = std::min<uint64_t>(step.End, written + kRunChunks);
            DWORD runBytes = 0;
            for (uint64_t c = written; c < runEnd; runBytes += step.Lengths[c - j], ++c)
                if (!converted && step.Lengths[c - j]) medium.Transform(c, data + off + runBytes, step.Lengths[c - j]);
            DWORD error = runEnd - written > 1 ? medium.WriteRun(written, written * kChunkSize, data + off, runBytes)
                                               : DWORD(ERROR_NOT_SUPPORTED);
            if (error == 0) {
                written = runEnd;
                off += runBytes;
                continue;
            }
            if (error == ERROR_NOT_SUPPORTED) {
                // Chunk by chunk; from here any error, ERROR_NOT_SUPPORTED
                // too, is a failed write.
                error = 0;
                for (; written < runEnd; off += step.Lengths[written - j], ++written) {
                    const DWORD n = step.Lengths[written - j];
                    if (n == 0) continue;
                    if (error = medium.Write(written, written * kChunkSize, data + off, n); error != 0) break;
                }
            }
            if (error != 0) {
                SetLastMessage(MSG_WRITE_ERROR, unsigned(error));
                outcome = error;
                stop = true;
            }
        }
        // The step is flushed and its checkpoint recorded by the next entry's
        // thread (or before the loop waits, or at the end): until then this
        // step's entry stays whole, and a restore puts back both steps.
        if (s.Journal && written > j) {
            // The last chunk written stays as it is once converted and
            // durable: the medium's fingerprint from that checkpoint on.
            DWORD at = 0, last = 0;
            uint64_t lastChunk = MediumFingerprint::kNone;
            for (uint64_t c = j; c < written; at += step.Lengths[c - j], ++c)
                if (step.Lengths[c - j]) lastChunk = c, last = at;
            if (lastChunk != MediumFingerprint::kNone) {
                s.Journal->Medium.Chunk = lastChunk;
                s.Journal->Medium.Hash = FingerprintHash(data + last, step.Lengths[lastChunk - j]);
            }
            s.Journal->Checkpoint = written;
            unsaved = true;
        }
        if (!stop && outcome != 0) stop = true;  // the read-ahead failed
        if (stop) {
            // The thread must end first; its entry is harmless, but a failed
            // flush means no write since the last checkpoint may count.
            if (haveNext && pending.Wait().Flush) flushFailed = true;
            break;
        }
        j = step.End;
        ++stepNumber;
        step = next;
        haveStep = haveNext;
        if (haveNext) slot = 1 - slot;  // the next step was read into the other buffer
    }
    // After a failed flush the kernel may have dropped what it could not
    // write, and a later flush may still succeed: the checkpoint stays, and
    // the entries put the unaccounted steps back.
    if (unsaved && !flushFailed) {
        const Aside done = MakeDurable(medium, false, s.Journal->Target, s.Journal->Checkpoint, s.Journal->Medium);
        if (done.Error != 0 && outcome == 0) {
            SetLastMessage(done.Flush ? MSG_WRITE_ERROR : MSG_JOURNAL_ERROR, unsigned(done.Error));
            outcome = done.Error;
            stop = true;
        }
    }
    for (auto& b : buffers)
        if (b) SecureWipe(b.get(), size_t(span) * kChunkSize);
    *finished = outcome == 0 && !stop && j >= count;
    return outcome != 0 ? outcome : medium.Noted;
}

DWORD CheckJournalledMedium(ChunkMedium& medium, const JournalRecord& record) {
    if (!record.Medium.Valid()) return 0;
    uint64_t hash = 0;
    const DWORD error = HashOfChunk(medium, record.Medium.Chunk, &hash);
    if (error == ERROR_HANDLE_EOF) return ERROR_FILE_INVALID;  // a shorter medium is another one
    if (error != 0) return error;
    return hash == record.Medium.Hash ? 0 : DWORD(ERROR_FILE_INVALID);
}

DWORD RestoreJournalEntry(ChunkMedium& medium, JournalRecord* record) {
    std::vector<JournalEntry> entries = ReadJournalEntries(record->Target);
    if (entries.empty()) return 0;
    if (DWORD error = CheckJournalledMedium(medium, *record); error != 0) return error;
    struct RestoringScope {
        ChunkMedium& M;
        explicit RestoringScope(ChunkMedium& m) : M(m) { M.Restoring = true; }
        ~RestoringScope() { M.Restoring = false; }
    } restoring(medium);
    for (JournalEntry& entry : entries) {
        const uint64_t end = entry.FirstChunk + entry.Chunks;
        // An entry before the checkpoint is durable; the ones after it (the
        // registry's checkpoint may lag one step) are put back whole: a step
        // whose writes never started gets its own bytes again.
        if (end <= record->Checkpoint) continue;
        // Converted bytes may only extend the converted part, never land past it.
        if (entry.RollForward && entry.FirstChunk > record->Checkpoint) continue;
        const uint64_t from = std::max(record->Checkpoint, entry.FirstChunk);
        uint64_t offset = (from - entry.FirstChunk) * kChunkSize;
        for (uint64_t c = from; c < end && offset < entry.Bytes.size(); ++c) {
            const DWORD n = DWORD(std::min<uint64_t>(kChunkSize, entry.Bytes.size() - offset));
            if (DWORD error = medium.Write(c, c * kChunkSize, entry.Bytes.data() + offset, n); error != 0) return error;
            offset += n;
        }
        if (DWORD error = medium.Flush(); error != 0) return error;
        if (entry.RollForward) {
            if (DWORD error = SaveJournalCheckpoint(record->Target, end); error != 0) return error;
            record->Checkpoint = end;
        }
        SecureWipe(entry.Bytes.data(), entry.Bytes.size());
    }
    ClearJournalEntry(record->Target);
    return 0;
}
