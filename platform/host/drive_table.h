// The machine's drive table: which drive letters exist, what kind of drive each
// is and which Linux file or block device backs it. Stored as a small text file
// ("drives.conf") in the machine directory so a person can read and edit it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/expected.h"

namespace tarn::host {

enum class DriveKind { Fixed, Removable, CdRom, Remote };

const char* DriveKindName(DriveKind kind);
std::optional<DriveKind> ParseDriveKind(const std::string& text);

struct DriveEntry {
    char letter = 0;        // 'A'..'Z', upper case
    DriveKind kind = DriveKind::Fixed;
    bool readOnly = false;
    std::string backing;    // empty: no medium (CD/DVD or removable drive without media)

    bool HasMedia() const { return !backing.empty(); }
};

class DriveTable {
public:
    static constexpr const char* kFileName = "drives.conf";

    // Parses the text form; every line that is not blank or a comment must be
    // "X: kind rw|ro backing" (backing "-" means no medium).
    static Expected<DriveTable> Parse(const std::string& text);
    std::string Format() const;

    static Expected<DriveTable> Load(const std::string& path);
    // Writes to a temporary file and renames it, so a reader never sees half a table.
    Status Save(const std::string& path) const;

    const std::vector<DriveEntry>& Entries() const { return entries_; }
    const DriveEntry* Find(char letter) const;
    DriveEntry* Find(char letter);
    Status Add(const DriveEntry& entry);
    Status Remove(char letter);

private:
    std::vector<DriveEntry> entries_;  // kept in letter order
};

// "e", "E:", "e:\" -> 'E'; nullopt for anything else.
std::optional<char> ParseDriveLetter(const std::string& text);

// A backing path as stored may be relative to the machine directory.
std::string ResolveBacking(const std::string& machineDir, const std::string& backing);

}  // namespace tarn::host
