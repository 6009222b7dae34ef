// The conversion loop shared by drives and images, first runs and resumes:
// chunks of 64 KiB in ascending order, transformed and written back at
// their own offsets. With a journal it works in durable steps: the step's
// chunks are read, the bytes that would put them right again are written
// and flushed to the journal file, the chunks are written and flushed to
// the medium, and only then does the checkpoint in the registry advance.
// The bytes written to the medium are the same with or without a journal.
#pragma once

#include <cstdint>

#include "service/conversion_journal.h"
#include "service/win32.h"

// Chunks per durable step of a journalled conversion: the journal's cost
// (two flushes and a registry sync) is paid once per step.
constexpr uint32_t kJournalSpan = 256;
// Chunks per request where the medium takes runs (ReadRun, WriteRun), and
// per step without a journal: 4 MiB, which stays in the cache between the
// read, the transform and the write.
constexpr uint32_t kRunChunks = 64;

// Outcome of a pause: the loop stopped at a step boundary on request.
constexpr DWORD kConversionPaused = ERROR_OPERATION_ABORTED;
#define MSG_PAUSED "The conversion is paused at %u%%; resume it to finish."
#define MSG_JOURNAL_ERROR "Tarnvault has encounter an error %X while journalling this conversion !"

// What the loop reads from and writes to. Each operation sets the message
// of its own failure; a failed seek is noted in Noted and the loop goes on.
class ChunkMedium {
public:
    virtual ~ChunkMedium() = default;
    enum class ReadOutcome { Data, End, Failed };
    virtual ReadOutcome Read(uint64_t position, uint8_t* data, DWORD length, DWORD* got, DWORD* error) = 0;
    // 0 or the Win32 error; the loop sets the writing message.
    virtual DWORD Write(uint64_t chunk, uint64_t position, const uint8_t* data, DWORD length) = 0;
    // Makes the written chunks durable; 0 or the Win32 error.
    virtual DWORD Flush() = 0;
    // The same from the loop's other thread while the loop writes on: a
    // medium whose flush would wait behind its writes flushes another way.
    virtual DWORD FlushAside() { return Flush(); }
    virtual void Transform(uint64_t chunk, uint8_t* data, DWORD length) = 0;
    // A durable step's chunks in one request where the medium can, so a step
    // costs one round trip instead of one per chunk. ReadRun: true when all
    // `length` bytes were read; it sets no message, because the loop then
    // reads chunk by chunk to find the one that fails. WriteRun: 0 or the
    // Win32 error; ERROR_NOT_SUPPORTED asks for chunk-by-chunk writes.
    virtual bool ReadRun(uint64_t, uint8_t*, DWORD) { return false; }
    virtual DWORD WriteRun(uint64_t, uint64_t, const uint8_t*, DWORD) { return ERROR_NOT_SUPPORTED; }

    DWORD Noted = 0;
    // Set while a journal entry is put back: the tests' write faults aim at
    // the conversion's own writes only.
    bool Restoring = false;
};

struct ChunkLoopSettings {
    uint64_t Length = 0;    // bytes of the medium
    uint64_t First = 0;     // first chunk to convert
    bool Encrypt = true;
    // The chunks read are already converted (a drive decrypted through the
    // filter): the journal keeps them and a restore completes the step.
    bool ReadsConverted = false;
    // The journal's record: null for a conversion without one (into a second
    // file); Exists when it is a resume of a recorded conversion.
    JournalRecord* Journal = nullptr;
    bool Exists = false;
};

// Returns the outcome (0, kConversionPaused or the Win32 error); *finished
// tells whether every chunk is converted. The journal is left in place; the
// caller removes it once the conversion is complete.
DWORD RunChunkLoop(ChunkMedium& medium, const ChunkLoopSettings& settings, bool* finished);

// 0 when the medium is the one the record was written for (or the record has
// no fingerprint), else ERROR_FILE_INVALID, or the error of the read.
DWORD CheckJournalledMedium(ChunkMedium& medium, const JournalRecord& record);

// Puts the journal entry back on the medium (see JournalEntry), when there is
// one for chunks at or after the checkpoint, and moves the checkpoint past it
// when it rolled forward. 0 or the Win32 error of the write; nothing is
// written to a medium that fails CheckJournalledMedium.
DWORD RestoreJournalEntry(ChunkMedium& medium, JournalRecord* record);
