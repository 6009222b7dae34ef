// The journal's core on a medium in memory: a conversion cut at any byte
// (the last write torn), then restored from the journal and resumed, ends
// byte-identical to one that ran through; a torn or foreign journal entry
// is never put back; and the resume's password check tells right, wrong
// and uncheckable apart.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cipher/sector.h"
#include "service/chunk_cipher.h"
#include "service/chunk_loop.h"
#include "service/conversion_journal.h"
#include "service/conversion_recovery.h"
#include "service/mount_record.h"
#include "service/procedures.h"
#include "service/win32.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace {

constexpr uint64_t kChunk = kChunkSize;
const char* const kPassword = "journal pw";

// An image-like medium: every write persists up to a byte budget; the one
// that crosses it is cut there and fails, and so does everything after it.
class MemoryMedium final : public ChunkMedium {
public:
    MemoryMedium(std::vector<uint8_t> bytes, bool encrypt, const SectorKeys& keys)
        : Bytes(std::move(bytes)), Encrypt(encrypt), Keys(keys) {}

    ReadOutcome Read(uint64_t position, uint8_t* data, DWORD length, DWORD* got, DWORD*) override {
        *got = position >= Bytes.size() ? 0 : DWORD(std::min<uint64_t>(length, Bytes.size() - position));
        if (*got) std::memcpy(data, Bytes.data() + position, *got);
        Convert(position, data, *got);
        return *got ? ReadOutcome::Data : ReadOutcome::End;
    }
    DWORD Write(uint64_t, uint64_t position, const uint8_t* data, DWORD length) override {
        if (Dead) return CutError;
        uint64_t allowed = std::min<uint64_t>(length, Budget - std::min(Budget, Written));
        std::memcpy(Bytes.data() + position, data, allowed);
        Written += allowed;
        if (allowed < length) {
            Dead = true;
            return CutError;
        }
        return 0;
    }
    // The loop flushes from its other thread while it writes on.
    DWORD Flush() override {
        const int n = ++Flushes;
        return Dead.load() || n == FailingFlush ? ERROR_IO_DEVICE : 0;
    }
    // With Runs set, whole steps are read and written in one request, as a
    // drive's and an image's media do; a cut then tears a step's write.
    bool ReadRun(uint64_t position, uint8_t* data, DWORD length) override {
        if (!Runs || position + length > Bytes.size()) return false;
        std::memcpy(data, Bytes.data() + position, length);
        Convert(position, data, length);
        return true;
    }
    DWORD WriteRun(uint64_t chunk, uint64_t position, const uint8_t* data, DWORD length) override {
        return Runs ? Write(chunk, position, data, length) : DWORD(ERROR_NOT_SUPPORTED);
    }
    void Transform(uint64_t chunk, uint8_t* data, DWORD length) override {
        if (ConvertedReads) return;
        if (Encrypt)
            EncryptChunk(Keys, chunk, data, length);
        else
            DecryptImageChunk(Keys, chunk, data, length);
    }

    std::vector<uint8_t> Bytes;
    uint64_t Budget = UINT64_MAX;
    uint64_t Written = 0;
    std::atomic<bool> Dead = false;
    std::atomic<int> Flushes = 0;
    int FailingFlush = 0;  // this flush (counted from 1) fails, the ones after it do not
    bool Runs = false;
    DWORD CutError = ERROR_IO_DEVICE;  // what the cut write and those after it return
    // Reads come decrypted, as a drive's through the filter's key while it is
    // decrypted: the journal keeps the converted bytes and rolls forward.
    bool ConvertedReads = false;

private:
    void Convert(uint64_t position, uint8_t* data, DWORD length) {
        if (!ConvertedReads) return;
        for (DWORD at = 0; at < length; at += DWORD(kChunk))
            DecryptImageChunk(Keys, (position + at) / kChunk, data + at, std::min<DWORD>(DWORD(kChunk), length - at));
    }

    bool Encrypt;
    const SectorKeys& Keys;
};

std::vector<uint8_t> Plaintext(size_t length) {
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i) data[i] = uint8_t((i * 29 + i / 700) & 0xFF);
    // Free space: zero blocks, the evidence a right password leaves.
    std::memset(data.data() + 4096, 0, 4096);
    std::memset(data.data() + length / 2, 0, 4096);
    return data;
}

// A FAT boot sector at the start, so the recognizer test knows the medium.
void MakeBootSector(std::vector<uint8_t>* data) {
    uint8_t* s = data->data();
    s[0] = 0xEB;
    s[1] = 0x3C;
    s[2] = 0x90;
    s[11] = 0x00;
    s[12] = 0x02;  // 512 bytes per sector
    s[13] = 4;
    s[14] = 1;
    s[16] = 2;
    s[21] = 0xF8;
    s[510] = 0x55;
    s[511] = 0xAA;
}

std::vector<uint8_t> RunThrough(std::vector<uint8_t> input, bool encrypt, const SectorKeys& keys) {
    MemoryMedium m(std::move(input), encrypt, keys);
    ChunkLoopSettings s;
    s.Length = m.Bytes.size();
    s.Encrypt = encrypt;
    bool finished = false;
    EXPECT_EQ(RunChunkLoop(m, s, &finished), 0u);
    EXPECT_TRUE(finished);
    return m.Bytes;
}

JournalRecord NewRecord(const std::string& target, bool encrypt, uint64_t length) {
    JournalRecord r;
    r.Target = target;
    r.Image = true;
    r.Encrypt = encrypt;
    r.ChunkSize = uint32_t(kChunk);
    r.Length = length;
    return r;
}

// The loop's settings for a first run under a journal record, and for the
// resume of what the registry kept.
ChunkLoopSettings Journalled(JournalRecord* record) {
    ChunkLoopSettings s;
    s.Length = record->Length;
    s.Encrypt = record->Encrypt;
    s.Journal = record;
    return s;
}
ChunkLoopSettings Resumed(JournalRecord* stored) {
    ChunkLoopSettings s = Journalled(stored);
    s.First = stored->Checkpoint;
    s.Exists = true;
    return s;
}

TEST(TornConversion, RestoredAndResumedEndsByteIdenticalAtEveryCutPoint) {
    SectorKeys keys(kPassword);
    const uint64_t chunks = 2 * kJournalSpan + 9;  // the last one short
    const uint64_t length = (chunks - 1) * kChunk + 3 * 512;
    std::vector<uint8_t> plain = Plaintext(length);
    MakeBootSector(&plain);
    // Empty space, which the journal marks instead of storing: a run inside
    // the first step, one across the steps' boundary, the short last chunk.
    std::memset(plain.data() + 3 * kChunk, 0, 7 * kChunk);
    std::memset(plain.data() + (kJournalSpan - 2) * kChunk, 0, 5 * kChunk);
    std::memset(plain.data() + (chunks - 1) * kChunk, 0, length - (chunks - 1) * kChunk);
    const std::vector<uint8_t> cipher = RunThrough(plain, true, keys);
    const std::vector<uint8_t> decrypted = RunThrough(cipher, false, keys);

    const uint64_t cuts[] = {1, kChunk / 2, kChunk, 5 * kChunk + 100, kJournalSpan * kChunk,
                             kJournalSpan * kChunk + kChunk / 2, (chunks - 1) * kChunk + 512, length - 1};
    for (bool runs : {false, true})
    for (int way : {0, 1, 2}) {  // encrypt; decrypt; decrypt with reads through the key
        const bool encrypt = way == 0, convertedReads = way == 2;
        const std::vector<uint8_t>& input = encrypt ? plain : cipher;
        const std::vector<uint8_t>& expected = encrypt ? cipher : decrypted;
        for (uint64_t cut : cuts) {
            SCOPED_TRACE(testing::Message() << (encrypt ? "encrypt" : convertedReads ? "decrypt, reads through the key" : "decrypt")
                                            << " cut at " << cut << (runs ? ", whole steps" : ", chunk by chunk"));
            const std::string target = "/virtual/cut-" + std::to_string(cut) + "-" + std::to_string(way);
            MemoryMedium m(input, encrypt, keys);
            m.Runs = runs;
            m.Budget = cut;
            m.ConvertedReads = convertedReads;
            JournalRecord record = NewRecord(target, encrypt, length);
            ChunkLoopSettings s = Journalled(&record);
            s.ReadsConverted = convertedReads;
            bool finished = true;
            EXPECT_NE(RunChunkLoop(m, s, &finished), 0u);
            EXPECT_FALSE(finished);

            // The machine comes back, with no key in the filter: what the
            // registry holds, then the restore.
            m.ConvertedReads = false;
            JournalRecord stored;
            ASSERT_TRUE(LoadJournalRecord(target.c_str(), &stored));
            EXPECT_EQ(stored.Recognised, true);
            // Another medium of the same size in its place gets nothing. (A
            // decryption read through the key has its fingerprint from its
            // first checkpoint on.)
            ASSERT_EQ(stored.Medium.Valid(), !convertedReads || stored.Checkpoint > 0);
            if (stored.Medium.Valid()) {
                std::vector<uint8_t> other = m.Bytes;
                for (auto& b : other) b ^= 0x5A;
                MemoryMedium foreign(other, encrypt, keys);
                JournalRecord copy = stored;
                EXPECT_EQ(RestoreJournalEntry(foreign, &copy), DWORD(ERROR_FILE_INVALID));
                EXPECT_TRUE(foreign.Bytes == other) << "the journal was put back on another medium";
                EXPECT_EQ(copy.Checkpoint, stored.Checkpoint);
            }
            m.Dead = false;
            m.Budget = UINT64_MAX;
            EXPECT_EQ(CheckJournalledMedium(m, stored), 0u);
            ASSERT_EQ(RestoreJournalEntry(m, &stored), 0u);
            for (uint64_t at = 0; at < length; at += 512) {
                const bool converted = at / kChunk < stored.Checkpoint;
                const auto& want = converted ? expected : input;
                ASSERT_EQ(std::memcmp(m.Bytes.data() + at, want.data() + at, 512), 0)
                    << "offset " << at << " with the checkpoint at chunk " << stored.Checkpoint;
            }
            // Restoring twice changes nothing.
            ASSERT_EQ(RestoreJournalEntry(m, &stored), 0u);

            EXPECT_EQ(RunChunkLoop(m, Resumed(&stored), &finished), 0u);
            EXPECT_TRUE(finished);
            EXPECT_TRUE(m.Bytes == expected) << "resumed medium differs from an uninterrupted conversion";
            DeleteJournal(target);
        }
    }
}

// A flush that fails once: what the kernel could not write may be gone even
// if a later flush succeeds, so the checkpoint must stay where the last good
// flush left it, and the entries put back everything after it.
TEST(FlushFailure, NothingWrittenSinceTheLastGoodFlushCounts) {
    SectorKeys keys(kPassword);
    const uint64_t chunks = 2 * kJournalSpan + 9;
    const uint64_t length = chunks * kChunk;
    const std::vector<uint8_t> plain = Plaintext(length);
    const std::vector<uint8_t> cipher = RunThrough(plain, true, keys);
    for (int failing : {1, 2}) {
        SCOPED_TRACE(testing::Message() << "flush " << failing << " fails");
        const std::string target = "/virtual/flush-" + std::to_string(failing);
        MemoryMedium m(plain, true, keys);
        m.Runs = true;
        m.FailingFlush = failing;
        JournalRecord record = NewRecord(target, true, length);
        bool finished = true;
        EXPECT_EQ(RunChunkLoop(m, Journalled(&record), &finished), DWORD(ERROR_IO_DEVICE));
        EXPECT_FALSE(finished);
        JournalRecord stored;
        ASSERT_TRUE(LoadJournalRecord(target.c_str(), &stored));
        // The first flush covers the first step; the second, the rest.
        EXPECT_EQ(stored.Checkpoint, failing == 1 ? 0u : uint64_t(kJournalSpan));
        ASSERT_EQ(RestoreJournalEntry(m, &stored), 0u);
        for (uint64_t c = stored.Checkpoint; c < chunks; ++c)
            ASSERT_EQ(std::memcmp(m.Bytes.data() + c * kChunk, plain.data() + c * kChunk, kChunk), 0) << "chunk " << c;
        EXPECT_EQ(RunChunkLoop(m, Resumed(&stored), &finished), 0u);
        EXPECT_TRUE(finished);
        EXPECT_TRUE(m.Bytes == cipher);
        DeleteJournal(target);
    }
}

// ERROR_NOT_SUPPORTED asks the loop for chunk-by-chunk writes when a whole
// run cannot go in one request; from a chunk's own write it is a failure
// like any other and must not count the chunk as written.
TEST(ChunkWrites, NotSupportedFromAChunkWriteIsAFailure) {
    SectorKeys keys(kPassword);
    const uint64_t length = 10 * kChunk;
    for (bool journal : {false, true}) {
        SCOPED_TRACE(journal ? "with a journal" : "without a journal");
        MemoryMedium m(Plaintext(length), true, keys);
        m.Budget = 3 * kChunk + 512;
        m.CutError = ERROR_NOT_SUPPORTED;
        JournalRecord record = NewRecord("/virtual/not-supported", true, length);
        ChunkLoopSettings s;
        s.Length = length;
        s.Journal = journal ? &record : nullptr;
        bool finished = true;
        EXPECT_NE(RunChunkLoop(m, s, &finished), 0u) << "a failed write reported as success";
        EXPECT_FALSE(finished);
        if (journal) {
            JournalRecord stored;
            ASSERT_TRUE(LoadJournalRecord(record.Target.c_str(), &stored));
            EXPECT_LE(stored.Checkpoint, 3u) << "a chunk whose write failed was counted";
            DeleteJournal(record.Target);
        }
    }
}

TEST(JournalEntryFile, TornOrForeignEntriesAreNeverRestored) {
    const std::string target = "/virtual/entry";
    std::vector<uint8_t> bytes(3 * kChunk, 0x5A);
    {
        JournalFile file;
        ASSERT_EQ(file.Open(target), 0u);
        ASSERT_EQ(file.Write(1, 7, 3, false, bytes.data(), bytes.size()), 0u);
    }
    JournalEntry entry;
    EXPECT_FALSE(ReadJournalEntry(target, 0, &entry)) << "the other file holds no entry";
    ASSERT_TRUE(ReadJournalEntry(target, 1, &entry));
    EXPECT_EQ(entry.FirstChunk, 7u);
    EXPECT_EQ(entry.Chunks, 3u);
    EXPECT_TRUE(entry.Bytes == bytes);
    EXPECT_FALSE(ReadJournalEntry("/virtual/other", 1, &entry)) << "another target's file name and tag";

    // A write torn anywhere leaves an entry whose checksum fails.
    const std::string path = JournalFilePath(target, 1);
    struct Damage {
        const char* what;
        long offset;
        bool truncate;
    } damages[] = {{"header", 10, false},
                   {"zero map", 64, false},
                   {"data", 64 + 70000, false},
                   {"short file", 64 + 1000, true}};
    for (const auto& d : damages) {
        {
            JournalFile file;
            ASSERT_EQ(file.Open(target), 0u);
            ASSERT_EQ(file.Write(1, 7, 3, false, bytes.data(), bytes.size()), 0u);
        }
        if (d.truncate) {
            ASSERT_EQ(::truncate(path.c_str(), d.offset), 0);
        } else {
            FILE* f = std::fopen(path.c_str(), "r+b");
            ASSERT_NE(f, nullptr);
            std::fseek(f, d.offset, SEEK_SET);
            std::fputc(0xA5, f);
            std::fclose(f);
        }
        EXPECT_FALSE(ReadJournalEntry(target, 1, &entry)) << d.what;
    }

    // Entries of any length and alignment read back exactly, also a shorter
    // entry written over a longer one.
    struct FreeDeleter {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    std::unique_ptr<uint8_t, FreeDeleter> page(static_cast<uint8_t*>(std::aligned_alloc(4096, 3 * kChunk + 4096)));
    ASSERT_TRUE(page);
    for (size_t i = 0; i < 3 * kChunk + 4096; ++i) page.get()[i] = uint8_t(i * 31 + i / 4096);
    struct Shape {
        const char* what;
        size_t skip;
        size_t length;
    } shapes[] = {{"aligned, whole pages", 0, 3 * kChunk},
                  {"aligned, ragged tail", 0, 2 * kChunk + 1000},
                  {"unaligned start", 7, 2 * kChunk + 5},
                  {"shorter than a page", 0, 300},
                  {"zero chunks between stored ones", 0, 3 * kChunk},
                  {"all zero, ragged tail", 0, 2 * kChunk + 1000}};
    std::memset(page.get() + kChunk, 0, kChunk);  // the middle chunk of every shape that reaches it
    for (const auto& shape : shapes) {
        if (std::strncmp(shape.what, "all zero", 8) == 0) std::memset(page.get(), 0, 3 * kChunk + 4096);
        {
            JournalFile file;
            ASSERT_EQ(file.Open(target), 0u);
            ASSERT_EQ(file.Write(0, 2, 3, true, page.get() + shape.skip, shape.length), 0u) << shape.what;
        }
        ASSERT_TRUE(ReadJournalEntry(target, 0, &entry)) << shape.what;
        EXPECT_TRUE(entry.RollForward);
        ASSERT_EQ(entry.Bytes.size(), shape.length) << shape.what;
        EXPECT_EQ(std::memcmp(entry.Bytes.data(), page.get() + shape.skip, shape.length), 0) << shape.what;
    }
    DeleteJournal(target);
}

// An entry an older service wrote (every byte stored, version 02) is still
// put back after an upgrade.
TEST(JournalEntryFile, VersionTwoEntriesStillRead) {
    const std::string target = "/virtual/older";
    { JournalFile file; ASSERT_EQ(file.Open(target), 0u); }
    std::vector<uint8_t> bytes(2 * kChunk + 512);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 13 + i / 999);
    std::memset(bytes.data() + kChunk, 0, kChunk);
    uint8_t header[64] = {'T', 'V', 'J', 'R', 'N', 'L', '0', '2'};
    const uint64_t first = 9, length = bytes.size(), tag = [&] {
        // The tag of the target, as the writer put it: read back from an entry of ours.
        JournalFile file;
        EXPECT_EQ(file.Open(target), 0u);
        EXPECT_EQ(file.Write(0, 0, 1, false, bytes.data(), 512), 0u);
        uint8_t ours[64] = {};
        FILE* f = std::fopen(JournalFilePath(target, 0).c_str(), "rb");
        EXPECT_NE(f, nullptr);
        EXPECT_EQ(std::fread(ours, 1, 64, f), 64u);
        std::fclose(f);
        uint64_t t;
        std::memcpy(&t, ours + 32, 8);
        return t;
    }();
    const uint32_t chunks = 3, forward = 1;
    std::memcpy(header + 8, &first, 8);
    std::memcpy(header + 16, &chunks, 4);
    std::memcpy(header + 20, &forward, 4);
    std::memcpy(header + 24, &length, 8);
    std::memcpy(header + 32, &tag, 8);
    const uint64_t sum = XXH3_64bits_withSeed(bytes.data(), bytes.size(), XXH3_64bits(header, 56));
    std::memcpy(header + 56, &sum, 8);
    FILE* f = std::fopen(JournalFilePath(target, 1).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(header, 1, 64, f), 64u);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
    JournalEntry entry;
    ASSERT_TRUE(ReadJournalEntry(target, 1, &entry));
    EXPECT_EQ(entry.FirstChunk, first);
    EXPECT_EQ(entry.Chunks, chunks);
    EXPECT_TRUE(entry.RollForward);
    EXPECT_TRUE(entry.Bytes == bytes);
    DeleteJournal(target);
}

TEST(ResumePasswordCheck, RightWrongAndUncheckable) {
    SectorKeys right(kPassword), wrong("not it");
    const uint64_t length = 20 * kChunk;
    std::vector<uint8_t> fs = Plaintext(length);
    MakeBootSector(&fs);
    std::vector<uint8_t> noise(length);
    for (size_t i = 0; i < length; ++i) noise[i] = uint8_t((i * 2654435761u) >> 13);

    struct Case {
        const char* what;
        bool fileSystem;
        bool encrypt;
        uint64_t checkpoint;
        bool rightPassword;
        PasswordVerdict expected;
    } cases[] = {
        {"encrypting, file system, right", true, true, 5, true, PasswordVerdict::Right},
        {"encrypting, file system, wrong", true, true, 5, false, PasswordVerdict::Wrong},
        {"encrypting, nothing converted yet", true, true, 0, false, PasswordVerdict::Right},
        {"encrypting, no file system, wrong", false, true, 5, false, PasswordVerdict::Unverifiable},
        {"decrypting, chunk 0 still encrypted, wrong", true, false, 0, false, PasswordVerdict::Wrong},
        {"decrypting past chunk 0, zeros left, right", true, false, 1, true, PasswordVerdict::Right},
        {"decrypting past chunk 0, wrong", true, false, 3, false, PasswordVerdict::Unverifiable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<uint8_t>& plain = c.fileSystem ? fs : noise;
        const std::vector<uint8_t> cipher = RunThrough(plain, true, right);
        // The stored medium: ciphertext where the key is in use now.
        std::vector<uint8_t> stored = plain;
        for (uint64_t at = 0; at < length; ++at) {
            const bool encrypted = c.encrypt ? at / kChunk < c.checkpoint : at / kChunk >= c.checkpoint;
            if (encrypted) stored[at] = cipher[at];
        }
        const SectorKeys& keys = c.rightPassword ? right : wrong;
        MemoryMedium m(stored, c.encrypt, keys);
        JournalRecord record = NewRecord("/virtual/check", c.encrypt, length);
        record.Checkpoint = c.checkpoint;
        record.Recognised = c.fileSystem;
        EXPECT_EQ(CheckResumePassword(m, record, keys), c.expected);
        EXPECT_TRUE(m.Bytes == stored) << "the check writes nothing";
    }
}

}  // namespace

namespace {

// A half-converted image must not be mounted: the driver would serve its
// mixed bytes and writes to it would escape the journal. The record names
// the image by its UTF-16 NT path, the journal by the UTF-8 path.
TEST(JournalledImage, MountIsRefusedUntilTheConversionEnds) {
    const std::string target = "/virtual/m\xC3\xA9lange \xF0\x9F\x92\xBE.img";  // é and a surrogate pair
    const std::u16string wide = u"\\??\\/virtual/m\u00E9lange \U0001F4BE.img";
    uint8_t wire[kMountRecordWireSize] = {};
    VDISK_MOUNT_RECORD record{};
    record.DiskSize = 0;
    record.DriveLetter = 'M';
    std::memcpy(record.FileName, wide.data(), wide.size() * sizeof(char16_t));
    std::memcpy(wire, &record, sizeof record);

    JournalRecord journal = NewRecord(target, true, 64 * kChunk);
    journal.Checkpoint = 16;
    ASSERT_EQ(SaveJournalRecord(journal), 0u);
    EXPECT_EQ(tarnsvc::SvcMountImage(0, wire, 'M'), long(ERROR_BUSY));
    uint8_t message[256] = {};
    tarnsvc::SvcGetLastMessage(sizeof message, message);
    EXPECT_NE(std::string(reinterpret_cast<char*>(message)).find("interrupted at 25%"), std::string::npos)
        << reinterpret_cast<char*>(message);

    DeleteJournal(target);
    EXPECT_NE(tarnsvc::SvcMountImage(0, wire, 'M'), long(ERROR_BUSY)) << "refused with no journal left";
}

}  // namespace
