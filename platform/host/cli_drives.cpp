#include "platform/host/cli_drives.h"

#include <cstdio>
#include <filesystem>

#include "platform/host/host_notify.h"
#include "platform/host/machine_setup.h"

namespace tarn::host {

namespace {

int Fail(const std::string& message) {
    std::fprintf(stderr, "tarnhost: %s\n", message.c_str());
    return 1;
}

std::string TablePath(const std::string& dir) { return dir + "/" + DriveTable::kFileName; }

// Load, change, save, tell the running machine. One place so every command
// behaves the same on errors: nothing is saved unless the change succeeded.
template <class Change>
int EditTable(const std::string& dir, Change change) {
    auto table = DriveTable::Load(TablePath(dir));
    if (!table) return Fail(table.error() + " (run \"tarnhost init\" first)");
    if (auto s = change(*table); !s) return Fail(s.error());
    if (auto s = table->Save(TablePath(dir)); !s) return Fail(s.error());
    if (auto s = NotifyDriveTableChanged(dir); !s) return Fail("saved, but the running machine did not take it: " + s.error());
    return 0;
}

Status CheckBacking(const std::string& dir, const std::string& backing) {
    auto size = BackingSize(ResolveBacking(dir, backing));
    if (!size) return Error{size.error()};
    if (*size < 512) return Error{backing + " is smaller than one sector"};
    return Ok();
}

}  // namespace

int CmdInit(const std::string& dir, const std::string& group) {
    if (auto s = InitMachine(dir, group); !s) return Fail(s.error());
    std::printf("machine created in %s\n", dir.c_str());
    return 0;
}

int CmdDriveList(const std::string& dir) {
    auto table = DriveTable::Load(TablePath(dir));
    if (!table) return Fail(table.error());
    for (const auto& e : table->Entries()) {
        std::printf("%c: %-9s %s %s\n", e.letter, DriveKindName(e.kind), e.readOnly ? "ro" : "rw",
                    e.HasMedia() ? e.backing.c_str() : "(no medium)");
    }
    return 0;
}

int CmdDriveAdd(const std::string& dir, const std::string& letter, const std::string& kind, const std::string& backing,
                bool readOnly, uint64_t createSize) {
    auto l = ParseDriveLetter(letter);
    if (!l) return Fail("bad drive letter \"" + letter + "\"");
    auto k = ParseDriveKind(kind);
    if (!k) return Fail("unknown drive type \"" + kind + "\" (fixed, removable, cdrom, remote)");
    const bool noMedium = backing.empty() || backing == "-";
    if (noMedium && *k != DriveKind::CdRom && *k != DriveKind::Removable) {
        return Fail("only CD/DVD and removable drives can be without a medium");
    }
    return EditTable(dir, [&](DriveTable& t) -> Status {
        if (t.Find(*l)) return Error{std::string("drive ") + *l + ": already exists"};
        if (!noMedium) {
            if (createSize) {
                if (createSize % 512) return Error{"the size must be a multiple of 512"};
                if (auto s = CreateSparseFile(ResolveBacking(dir, backing), createSize); !s) return s;
            }
            if (auto s = CheckBacking(dir, backing); !s) return s;
        }
        return t.Add({*l, *k, readOnly || *k == DriveKind::CdRom, noMedium ? "" : backing});
    });
}

int CmdDriveRemove(const std::string& dir, const std::string& letter) {
    auto l = ParseDriveLetter(letter);
    if (!l) return Fail("bad drive letter \"" + letter + "\"");
    return EditTable(dir, [&](DriveTable& t) { return t.Remove(*l); });
}

int CmdMediaInsert(const std::string& dir, const std::string& letter, const std::string& path) {
    auto l = ParseDriveLetter(letter);
    if (!l) return Fail("bad drive letter \"" + letter + "\"");
    return EditTable(dir, [&](DriveTable& t) -> Status {
        DriveEntry* e = t.Find(*l);
        if (!e) return Error{std::string("no drive ") + *l + ":"};
        if (e->kind != DriveKind::CdRom && e->kind != DriveKind::Removable) {
            return Error{std::string("drive ") + *l + ": has no removable media"};
        }
        if (e->HasMedia()) return Error{std::string("drive ") + *l + ": already holds " + e->backing + "; eject it first"};
        if (auto s = CheckBacking(dir, path); !s) return s;
        e->backing = std::filesystem::absolute(path).string();
        return Ok();
    });
}

int CmdMediaEject(const std::string& dir, const std::string& letter) {
    auto l = ParseDriveLetter(letter);
    if (!l) return Fail("bad drive letter \"" + letter + "\"");
    return EditTable(dir, [&](DriveTable& t) -> Status {
        DriveEntry* e = t.Find(*l);
        if (!e) return Error{std::string("no drive ") + *l + ":"};
        if (e->kind != DriveKind::CdRom && e->kind != DriveKind::Removable) {
            return Error{std::string("drive ") + *l + ": has no removable media"};
        }
        if (!e->HasMedia()) return Error{std::string("drive ") + *l + ": is already empty"};
        e->backing.clear();
        return Ok();
    });
}

}  // namespace tarn::host
