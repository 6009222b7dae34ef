#include "service/conversion_journal.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/win32/machine_dir.h"
#include "service/chunk_cipher.h"
#include "service/file_at.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace {

// Version 03: a map after the header marks the chunks whose bytes are all
// zero, and only the other chunks' bytes follow it. The empty parts of a
// medium (a new stick, an image's free space) then cost the journal almost
// nothing, where they doubled what a step writes to the disk.
// Version 02 (every byte stored, XXH3) still reads, so an entry an older
// service left is put back; an 01 entry (FNV-1a) reads as absent.
constexpr char kMagic[8] = {'T', 'V', 'J', 'R', 'N', 'L', '0', '3'};
constexpr char kMagic02[8] = {'T', 'V', 'J', 'R', 'N', 'L', '0', '2'};
constexpr size_t kHeaderSize = 64;
constexpr size_t kChecksumAt = 56;
constexpr uint32_t kMaxEntryChunks = TARNSVC_MAX_JOURNAL_BYTES / kChunkSize;

// The zero map: a bit per chunk, padded to whole 8-byte words.
size_t MapBytes(uint32_t chunks) { return (size_t(chunks) + 63) / 64 * 8; }
bool Marked(const uint8_t* map, uint32_t chunk) { return (map[chunk / 8] >> (chunk % 8)) & 1; }

bool AllZero(const uint8_t* data, size_t length) {
    // A 4 KiB block at a time, so data is left at its first non-zero block.
    for (size_t at = 0; at < length; at += 4096) {
        const size_t n = std::min<size_t>(4096, length - at);
        uint64_t any = 0;
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            uint64_t word;
            std::memcpy(&word, data + at + i, 8);
            any |= word;
        }
        for (; i < n; ++i) any |= data[at + i];
        if (any != 0) return false;
    }
    return true;
}

// The chunks of an entry of `length` bytes: [at, at + n) for chunk i, n 0
// past the end.
size_t ChunkAt(uint32_t i) { return size_t(i) * kChunkSize; }
size_t ChunkLength(uint32_t i, size_t length) {
    return ChunkAt(i) >= length ? 0 : std::min<size_t>(kChunkSize, length - ChunkAt(i));
}

// Calls f(at, n) for each run of chunks stored in the file, in order.
template <typename F>
bool ForEachStoredRun(const uint8_t* map, uint32_t chunks, size_t length, F f) {
    for (uint32_t i = 0; i < chunks;) {
        if (Marked(map, i) || ChunkLength(i, length) == 0) {
            ++i;
            continue;
        }
        uint32_t end = i + 1;
        while (end < chunks && !Marked(map, end) && ChunkLength(end, length) != 0) ++end;
        const size_t at = ChunkAt(i), n = std::min(ChunkAt(end), length) - at;
        if (!f(at, n)) return false;
        i = end;
    }
    return true;
}

// FNV-1a: enough to tell a whole entry from a torn one.
uint64_t Fnv(const uint8_t* data, size_t length, uint64_t hash = 0xcbf29ce484222325ull) {
    for (size_t i = 0; i < length; ++i) {
        hash ^= data[i];
        hash *= 0x100000001b3ull;
    }
    return hash;
}

// The checksum of an entry: its header up to the checksum field, then its bytes.
uint64_t EntryChecksum(const uint8_t* header, const uint8_t* bytes, size_t length) {
    return XXH3_64bits_withSeed(bytes, length, XXH3_64bits(header, kChecksumAt));
}

uint64_t TargetTagOf(const std::string& target) {
    std::string folded = target;
    for (char& c : folded) c = char(std::tolower(static_cast<unsigned char>(c)));
    return Fnv(reinterpret_cast<const uint8_t*>(folded.data()), folded.size());
}

template <typename T>
void Put(uint8_t* at, T value) {
    std::memcpy(at, &value, sizeof value);  // little-endian
}
template <typename T>
T Get(const uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

class KeyGuard {
public:
    ~KeyGuard() {
        if (Key) RegCloseKey(Key);
    }
    HKEY Key = nullptr;
};

DWORD SetDword(HKEY key, const char* name, uint32_t value) {
    return DWORD(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value));
}
DWORD SetQword(HKEY key, const char* name, uint64_t value) {
    return DWORD(RegSetValueExA(key, name, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&value), sizeof value));
}
template <typename T>
bool QueryFixed(HKEY key, const char* name, DWORD type, T* value) {
    DWORD got = REG_NONE;
    DWORD size = sizeof *value;
    return RegQueryValueExA(key, name, nullptr, &got, reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS &&
           got == type && size == sizeof *value;
}

std::string TagText(const std::string& target) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(TargetTagOf(target)));
    return text;
}

constexpr const char* kMediumValue = "Medium";

DWORD SetFingerprint(HKEY key, const MediumFingerprint& medium) {
    uint8_t value[16];
    Put<uint64_t>(value, medium.Chunk);
    Put<uint64_t>(value + 8, medium.Hash);
    return DWORD(RegSetValueExA(key, kMediumValue, 0, REG_BINARY, value, sizeof value));
}

MediumFingerprint QueryFingerprint(HKEY key) {
    uint8_t value[16];
    DWORD type = REG_NONE;
    DWORD size = sizeof value;
    MediumFingerprint medium;
    if (RegQueryValueExA(key, kMediumValue, nullptr, &type, value, &size) == ERROR_SUCCESS && type == REG_BINARY &&
        size == sizeof value) {
        medium.Chunk = Get<uint64_t>(value);
        medium.Hash = Get<uint64_t>(value + 8);
    }
    return medium;
}

std::string KeyOf(const std::string& target) { return TARNSVC_JOURNAL_KEY "\\" + TagText(target); }

bool LoadRecordAt(const std::string& keyName, JournalRecord* record) {
    KeyGuard key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_READ, &key.Key) != ERROR_SUCCESS) return false;
    char target[TARNSVC_MAX_JOURNAL_TARGET] = {};
    DWORD type = REG_NONE;
    DWORD size = sizeof target - 1;
    if (RegQueryValueExA(key.Key, "Target", nullptr, &type, reinterpret_cast<BYTE*>(target), &size) != ERROR_SUCCESS ||
        type != REG_SZ || size == 0)
        return false;
    uint32_t image = 0, encrypt = 0, chunkSize = 0, recognised = 0;
    uint64_t length = 0, checkpoint = 0;
    if (!QueryFixed(key.Key, "Image", REG_DWORD, &image) || !QueryFixed(key.Key, "Encrypt", REG_DWORD, &encrypt) ||
        !QueryFixed(key.Key, "ChunkSize", REG_DWORD, &chunkSize) ||
        !QueryFixed(key.Key, "Recognised", REG_DWORD, &recognised) ||
        !QueryFixed(key.Key, "Length", REG_QWORD, &length) ||
        !QueryFixed(key.Key, "Checkpoint", REG_QWORD, &checkpoint) || chunkSize == 0)
        return false;
    record->Target = target;
    record->Image = image != 0;
    record->Encrypt = encrypt != 0;
    record->ChunkSize = chunkSize;
    record->Length = length;
    record->Recognised = recognised != 0;
    record->Checkpoint = checkpoint;
    record->Medium = QueryFingerprint(key.Key);
    if (record->Medium.Valid() && record->Medium.Chunk >= record->ChunkCount()) record->Medium = MediumFingerprint();
    return record->Checkpoint <= record->ChunkCount();
}

}  // namespace

uint64_t FingerprintHash(const uint8_t* bytes, size_t length) { return XXH3_64bits(bytes, length); }

std::string JournalFilePath(const std::string& target, int file) {
    return tarn::win32::MachineDirectory() + "/conversion-" + TagText(target) + "-" + std::to_string(file) + ".journal";
}

bool LoadJournalRecord(const char* target, JournalRecord* record) {
    if (target == nullptr || target[0] == '\0') return false;
    return LoadRecordAt(KeyOf(target), record) && strcasecmp(record->Target.c_str(), target) == 0;
}

std::vector<JournalRecord> LoadJournalRecords() {
    std::vector<JournalRecord> records;
    KeyGuard key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, TARNSVC_JOURNAL_KEY, 0, KEY_READ, &key.Key) != ERROR_SUCCESS) return records;
    for (DWORD i = 0;; ++i) {
        char name[64];
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key.Key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        JournalRecord record;
        if (LoadRecordAt(std::string(TARNSVC_JOURNAL_KEY "\\") + name, &record)) records.push_back(record);
    }
    return records;
}

DWORD SaveJournalRecord(const JournalRecord& record) {
    if (record.Target.size() + 1 > TARNSVC_MAX_JOURNAL_TARGET) return ERROR_FILENAME_EXCED_RANGE;
    // A record is whole only once its target is written, and that comes last.
    const std::string keyName = KeyOf(record.Target);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyName.c_str());
    KeyGuard key;
    DWORD error = DWORD(RegCreateKeyA(HKEY_LOCAL_MACHINE, keyName.c_str(), &key.Key));
    if (error == 0) error = SetDword(key.Key, "Image", record.Image ? 1 : 0);
    if (error == 0) error = SetDword(key.Key, "Encrypt", record.Encrypt ? 1 : 0);
    if (error == 0) error = SetDword(key.Key, "ChunkSize", record.ChunkSize);
    if (error == 0) error = SetDword(key.Key, "Recognised", record.Recognised ? 1 : 0);
    if (error == 0) error = SetQword(key.Key, "Length", record.Length);
    if (error == 0) error = SetQword(key.Key, "Checkpoint", record.Checkpoint);
    if (error == 0 && record.Medium.Valid()) error = SetFingerprint(key.Key, record.Medium);
    if (error == 0)
        error = DWORD(RegSetValueExA(key.Key, "Target", 0, REG_SZ, reinterpret_cast<const BYTE*>(record.Target.c_str()),
                                     DWORD(record.Target.size() + 1)));
    // Chunks are overwritten only after this returns: the record must outlive
    // a power cut, which a commit alone does not promise.
    if (error == 0) error = DWORD(RegFlushKey(key.Key));
    return error;
}

DWORD SaveJournalCheckpoint(const std::string& target, uint64_t checkpoint, const MediumFingerprint& medium) {
    KeyGuard key;
    DWORD error = DWORD(RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyOf(target).c_str(), 0, KEY_WRITE, &key.Key));
    if (error == 0 && medium.Valid()) error = SetFingerprint(key.Key, medium);
    if (error == 0) error = SetQword(key.Key, "Checkpoint", checkpoint);
    // The caller reuses the journal file of the steps before the checkpoint
    // next: a checkpoint lost in a power cut would leave them unaccounted for.
    if (error == 0) error = DWORD(RegFlushKey(key.Key));
    return error;
}

void DeleteJournal(const std::string& target) {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, KeyOf(target).c_str());
    for (int i = 0; i < TARNSVC_JOURNAL_FILES; ++i) DeleteFileA(JournalFilePath(target, i).c_str());
}

JournalFile::~JournalFile() {
    for (HANDLE file : Files)
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

DWORD JournalFile::Open(const std::string& target) {
    TargetTag = TargetTagOf(target);
    for (int i = 0; i < TARNSVC_JOURNAL_FILES; ++i) {
        Files[i] = CreateFileA(JournalFilePath(target, i).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (Files[i] == INVALID_HANDLE_VALUE) return GetLastError();
    }
    return 0;
}

DWORD JournalFile::Write(int which, uint64_t firstChunk, uint32_t chunks, bool rollForward, const uint8_t* bytes,
                         size_t length) {
    if (which < 0 || which >= TARNSVC_JOURNAL_FILES) return ERROR_INVALID_PARAMETER;
    HANDLE file = Files[which];
    if (file == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    if (chunks == 0 || chunks > kMaxEntryChunks || length > ChunkAt(chunks)) return ERROR_INVALID_PARAMETER;
    std::vector<uint8_t> head(kHeaderSize + MapBytes(chunks), 0);
    uint8_t* header = head.data();
    uint8_t* map = header + kHeaderSize;
    std::memcpy(header, kMagic, sizeof kMagic);
    Put<uint64_t>(header + 8, firstChunk);
    Put<uint32_t>(header + 16, chunks);
    Put<uint32_t>(header + 20, rollForward ? 1 : 0);
    Put<uint64_t>(header + 24, length);
    Put<uint64_t>(header + 32, TargetTag);
    for (uint32_t i = 0; i < chunks; ++i)
        if (const size_t n = ChunkLength(i, length); n != 0 && AllZero(bytes + ChunkAt(i), n))
            map[i / 8] |= uint8_t(1u << (i % 8));
    // The checksum: the header up to its own field, then the map and the
    // stored bytes, in file order.
    XXH3_state_t state;
    XXH3_64bits_reset_withSeed(&state, XXH3_64bits(header, kChecksumAt));
    XXH3_64bits_update(&state, map, head.size() - kHeaderSize);
    ForEachStoredRun(map, chunks, length, [&](size_t at, size_t n) {
        XXH3_64bits_update(&state, bytes + at, n);
        return true;
    });
    Put<uint64_t>(header + kChecksumAt, XXH3_64bits_digest(&state));
    // The stored runs straight from the caller's buffer; a torn write of any
    // part fails the checksum, and no chunk is overwritten before the flush.
    if (DWORD error = WriteAt(file, 0, head.data(), DWORD(head.size()))) return error;
    uint64_t fileAt = head.size();
    DWORD error = 0;
    ForEachStoredRun(map, chunks, length, [&](size_t at, size_t n) {
        error = WriteAt(file, fileAt, bytes + at, DWORD(n));
        fileAt += n;
        return error == 0;
    });
    if (error != 0) return error;
    if (!FlushFileBuffers(file)) return GetLastError();
    return 0;
}

namespace {

// Reads the bytes after a header of either version into entry->Bytes; false
// when they are short or their checksum fails.
bool ReadEntryBytes(HANDLE file, const uint8_t* header, bool version02, uint32_t chunks, size_t length,
                    JournalEntry* entry) {
    entry->Bytes.assign(length, 0);
    if (version02)
        return ReadAt(file, kHeaderSize, entry->Bytes.data(), DWORD(length)) &&
               EntryChecksum(header, entry->Bytes.data(), length) == Get<uint64_t>(header + kChecksumAt);
    std::vector<uint8_t> map(MapBytes(chunks));
    if (!ReadAt(file, kHeaderSize, map.data(), DWORD(map.size()))) return false;
    XXH3_state_t state;
    XXH3_64bits_reset_withSeed(&state, XXH3_64bits(header, kChecksumAt));
    XXH3_64bits_update(&state, map.data(), map.size());
    uint64_t fileAt = kHeaderSize + map.size();
    // Marked chunks stay as assign() left them: zero.
    const bool read = ForEachStoredRun(map.data(), chunks, length, [&](size_t at, size_t n) {
        if (!ReadAt(file, fileAt, entry->Bytes.data() + at, DWORD(n))) return false;
        XXH3_64bits_update(&state, entry->Bytes.data() + at, n);
        fileAt += n;
        return true;
    });
    return read && XXH3_64bits_digest(&state) == Get<uint64_t>(header + kChecksumAt);
}

}  // namespace

bool ReadJournalEntry(const std::string& target, int which, JournalEntry* entry) {
    HANDLE file = CreateFileA(JournalFilePath(target, which).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    uint8_t header[kHeaderSize];
    bool whole = ReadAt(file, 0, header, kHeaderSize);
    const bool version02 = whole && std::memcmp(header, kMagic02, sizeof kMagic02) == 0;
    whole = whole && (version02 || std::memcmp(header, kMagic, sizeof kMagic) == 0);
    const uint64_t length = whole ? Get<uint64_t>(header + 24) : 0;
    const uint32_t chunks = whole ? Get<uint32_t>(header + 16) : 0;
    whole = whole && Get<uint64_t>(header + 32) == TargetTagOf(target) && length > 0 &&
            length <= TARNSVC_MAX_JOURNAL_BYTES && chunks > 0 &&
            (version02 || (chunks <= kMaxEntryChunks && length <= ChunkAt(chunks)));
    if (whole) whole = ReadEntryBytes(file, header, version02, chunks, size_t(length), entry);
    CloseHandle(file);
    if (!whole) return false;
    entry->FirstChunk = Get<uint64_t>(header + 8);
    entry->Chunks = chunks;
    entry->RollForward = Get<uint32_t>(header + 20) != 0;
    return true;
}

std::vector<JournalEntry> ReadJournalEntries(const std::string& target) {
    std::vector<JournalEntry> entries;
    for (int i = 0; i < TARNSVC_JOURNAL_FILES; ++i) {
        JournalEntry entry;
        if (ReadJournalEntry(target, i, &entry)) entries.push_back(std::move(entry));
    }
    std::sort(entries.begin(), entries.end(),
              [](const JournalEntry& a, const JournalEntry& b) { return a.FirstChunk < b.FirstChunk; });
    return entries;
}

void ClearJournalEntry(const std::string& target) {
    for (int i = 0; i < TARNSVC_JOURNAL_FILES; ++i) {
        HANDLE file = CreateFileA(JournalFilePath(target, i).c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) continue;
        FlushFileBuffers(file);
        CloseHandle(file);
    }
}
