#include "service/chunk_loop.h"

#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <memory>

#include "cipher/keys.h"
#include "cipher/sector.h"
#include "service/chunk_cipher.h"
#include "service/drive_messages.h"
#include "service/fault_injection.h"
#include "service/fs_probe.h"
#include "service/worker_status.h"

namespace {

struct AlignedFree {
    void operator()(uint8_t* p) const { std::free(p); }
};
using AlignedBuffer = std::unique_ptr<uint8_t, AlignedFree>;

// Unbuffered volume I/O wants sector-aligned buffers.
AlignedBuffer AllocateAligned(size_t bytes) {
    return AlignedBuffer(static_cast<uint8_t*>(std::aligned_alloc(4096, (bytes + 4095) / 4096 * 4096)));
}

// Whether the plaintext of chunk 0 holds a file system, told from a copy:
// the loop's own buffer must keep the bytes as read.
bool FirstChunkRecognised(ChunkMedium& medium, const uint8_t* data, DWORD length, bool plain) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[length]);
    std::memcpy(copy.get(), data, length);
    if (!plain) {
        medium.Transform(0, copy.get(), length);
        // Where the marker stood the drivers show the boot signature; an
        // image's decryption leaves zeros there.
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

DWORD RunChunkLoop(ChunkMedium& medium, const ChunkLoopSettings& s, bool* finished) {
    *finished = false;
    const uint64_t count = (s.Length + kChunkSize - 1) / kChunkSize;
    const uint32_t span = s.Journal ? kJournalSpan : 1;
    SetWorkerProgress(int32_t(s.First < count ? s.First * 100 / count : 0));
    AlignedBuffer buffer = AllocateAligned(size_t(span) * kChunkSize);
    if (!buffer) {
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
    DWORD lengths[kJournalSpan] = {};
    uint64_t j = s.First;
    bool stop = false;
    while (!stop && j < count) {
        WaitIfHeld(j);
        if (PauseRequested()) {
            outcome = kConversionPaused;
            SetLastMessage(MSG_PAUSED, unsigned(j * 100 / count));
            break;
        }
        // Read the step; it ends early before a held chunk and after a short one.
        uint64_t end = j;
        DWORD bytes = 0;
        DWORD readError = 0;
        while (end < count && end - j < span) {
            if (end > j && ChunkIsHeld(end)) break;
            SetWorkerProgress(int32_t(end * 100 / count));
            DWORD got = 0;
            const auto read = medium.Read(end * kChunkSize, buffer.get() + bytes, DWORD(kChunkSize), &got, &readError);
            if (read == ChunkMedium::ReadOutcome::Failed) break;
            lengths[end - j] = read == ChunkMedium::ReadOutcome::End ? 0 : got;
            bytes += lengths[end - j];
            ++end;
            if (lengths[end - 1 - j] < kChunkSize) break;
        }
        if (readError != 0) {
            outcome = readError;
            stop = true;
        }
        if (end == j) break;
        const bool converted = s.ReadsConverted;
        if (converted) {
            for (DWORD off = 0, c = 0; j + c < end; off += lengths[c], ++c)
                if (lengths[c]) medium.Transform(j + c, buffer.get() + off, lengths[c]);
        }
        if (s.Journal && bytes > 0) {
            DWORD error = 0;
            if (!recordSaved) {
                s.Journal->Checkpoint = j;
                s.Journal->Recognised =
                    j == 0 && FirstChunkRecognised(medium, buffer.get(), lengths[0], s.Encrypt || converted);
                error = SaveJournalRecord(*s.Journal);
                recordSaved = error == 0;
            }
            if (error == 0) error = journal.Write(j, uint32_t(end - j), converted, buffer.get(), bytes);
            if (error != 0) {
                SetLastMessage(MSG_JOURNAL_ERROR, unsigned(error));
                outcome = error;
                break;
            }
        }
        // Write the step; a failed write ends it, and what was written before
        // it still becomes durable and counts.
        uint64_t written = j;
        for (DWORD off = 0; written < end; off += lengths[written - j], ++written) {
            const DWORD n = lengths[written - j];
            if (n == 0) continue;
            if (!converted) medium.Transform(written, buffer.get() + off, n);
            if (DWORD error = medium.Write(written, written * kChunkSize, buffer.get() + off, n); error != 0) {
                SetLastMessage(MSG_WRITE_ERROR, unsigned(error));
                outcome = error;
                stop = true;
                break;
            }
        }
        if (s.Journal && written > j) {
            DWORD error = medium.Flush();
            if (error == 0) {
                error = SaveJournalCheckpoint(s.Journal->Target, written);
                if (error != 0) SetLastMessage(MSG_JOURNAL_ERROR, unsigned(error));
            } else {
                SetLastMessage(MSG_WRITE_ERROR, unsigned(error));
            }
            if (error != 0) {
                outcome = error;
                stop = true;
            } else {
                s.Journal->Checkpoint = written;
            }
        }
        if (!stop) j = end;
    }
    SecureWipe(buffer.get(), size_t(span) * kChunkSize);
    *finished = outcome == 0 && !stop && j >= count;
    return outcome != 0 ? outcome : medium.Noted;
}

DWORD RestoreJournalEntry(ChunkMedium& medium, JournalRecord* record) {
    JournalEntry entry;
    if (!ReadJournalEntry(record->Target, &entry)) return 0;
    const uint64_t end = entry.FirstChunk + entry.Chunks;
    // Only an entry that covers the checkpoint is in flight; one before it
    // has been made durable, one after it can't be.
    if (record->Checkpoint < entry.FirstChunk || record->Checkpoint >= end) return 0;
    uint64_t offset = (record->Checkpoint - entry.FirstChunk) * kChunkSize;
    struct RestoringScope {
        ChunkMedium& M;
        explicit RestoringScope(ChunkMedium& m) : M(m) { M.Restoring = true; }
        ~RestoringScope() { M.Restoring = false; }
    } restoring(medium);
    for (uint64_t c = record->Checkpoint; c < end && offset < entry.Bytes.size(); ++c) {
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
    ClearJournalEntry(record->Target);
    return 0;
}
