#include "platform/host/drive_table.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace tarn::host {

const char* DriveKindName(DriveKind kind) {
    switch (kind) {
    case DriveKind::Fixed: return "fixed";
    case DriveKind::Removable: return "removable";
    case DriveKind::CdRom: return "cdrom";
    case DriveKind::Remote: return "remote";
    }
    return "fixed";
}

std::optional<DriveKind> ParseDriveKind(const std::string& text) {
    for (DriveKind k : {DriveKind::Fixed, DriveKind::Removable, DriveKind::CdRom, DriveKind::Remote}) {
        if (text == DriveKindName(k)) return k;
    }
    return std::nullopt;
}

std::optional<char> ParseDriveLetter(const std::string& text) {
    if (text.empty() || text.size() > 3) return std::nullopt;
    const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    if (c < 'A' || c > 'Z') return std::nullopt;
    if (text.size() >= 2 && text[1] != ':') return std::nullopt;
    if (text.size() == 3 && text[2] != '\\') return std::nullopt;
    return c;
}

std::string ResolveBacking(const std::string& machineDir, const std::string& backing) {
    if (backing.empty() || backing[0] == '/') return backing;
    return machineDir + "/" + backing;
}

Expected<DriveTable> DriveTable::Parse(const std::string& text) {
    DriveTable table;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
        std::istringstream fields(line.substr(first));
        std::string letter, kind, mode;
        fields >> letter >> kind >> mode;
        std::string backing;
        std::getline(fields, backing);
        backing.erase(0, std::min(backing.find_first_not_of(" \t"), backing.size()));
        const auto where = "drive table line " + std::to_string(number) + ": ";
        DriveEntry e;
        auto l = ParseDriveLetter(letter);
        if (!l || letter.size() != 2) return Error{where + "bad drive letter \"" + letter + "\""};
        e.letter = *l;
        auto k = ParseDriveKind(kind);
        if (!k) return Error{where + "unknown drive type \"" + kind + "\""};
        e.kind = *k;
        if (mode != "rw" && mode != "ro") return Error{where + "expected rw or ro, found \"" + mode + "\""};
        e.readOnly = mode == "ro";
        if (backing.empty()) return Error{where + "missing backing (\"-\" for no medium)"};
        e.backing = backing == "-" ? "" : backing;
        if (auto s = table.Add(e); !s) return Error{where + s.error()};
    }
    return table;
}

std::string DriveTable::Format() const {
    std::string out =
        "# Drives of this machine: letter, type (fixed, removable, cdrom, remote),\n"
        "# rw or ro, backing file or block device (\"-\" for no medium; relative\n"
        "# paths are inside the machine directory).\n";
    for (const auto& e : entries_) {
        out += std::string(1, e.letter) + ": " + DriveKindName(e.kind) + " " + (e.readOnly ? "ro" : "rw") + " " +
               (e.backing.empty() ? "-" : e.backing) + "\n";
    }
    return out;
}

Expected<DriveTable> DriveTable::Load(const std::string& path) {
    std::ifstream in(path);
    if (!in) return Error{"cannot read the drive table " + path};
    std::stringstream text;
    text << in.rdbuf();
    return Parse(text.str());
}

Status DriveTable::Save(const std::string& path) const {
    const std::string temp = path + ".new";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << Format();
        out.flush();
        if (!out) return Error{"cannot write " + temp};
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return Error{"cannot replace " + path};
    }
    return Ok();
}

const DriveEntry* DriveTable::Find(char letter) const {
    for (const auto& e : entries_) {
        if (e.letter == letter) return &e;
    }
    return nullptr;
}

DriveEntry* DriveTable::Find(char letter) {
    for (auto& e : entries_) {
        if (e.letter == letter) return &e;
    }
    return nullptr;
}

Status DriveTable::Add(const DriveEntry& entry) {
    if (entry.letter < 'A' || entry.letter > 'Z') return Error{"bad drive letter"};
    if (Find(entry.letter)) return Error{std::string("drive ") + entry.letter + ": already exists"};
    if (entry.backing.find('\n') != std::string::npos) return Error{"backing path contains a line break"};
    if (entry.backing == "-") return Error{"backing path \"-\" is reserved for no medium"};
    auto at = std::lower_bound(entries_.begin(), entries_.end(), entry.letter,
                               [](const DriveEntry& e, char l) { return e.letter < l; });
    entries_.insert(at, entry);
    return Ok();
}

Status DriveTable::Remove(char letter) {
    auto at = std::find_if(entries_.begin(), entries_.end(), [&](const DriveEntry& e) { return e.letter == letter; });
    if (at == entries_.end()) return Error{std::string("no drive ") + letter + ":"};
    entries_.erase(at);
    return Ok();
}

}  // namespace tarn::host
