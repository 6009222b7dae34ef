#include "platform/host/machine_setup.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarn::host {

const DefaultDrive kDefaultDrives[4] = {
    {'C', DriveKind::Fixed, "system.img", 64ull << 20, "FAT32", "SYSTEM"},
    {'D', DriveKind::CdRom, nullptr, 0, nullptr, nullptr},
    {'E', DriveKind::Fixed, "data.img", 256ull << 20, "FAT32", "DATA"},
    {'F', DriveKind::Removable, "removable.img", 64ull << 20, "FAT", "REMOVABLE"},
};

namespace {

std::string Why(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

Status CreateSparseFile(const std::string& path, uint64_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return Error{Why("cannot create " + path)};
    const bool sized = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    const std::string why = sized ? "" : Why("cannot size " + path);
    ::close(fd);
    if (!sized) {
        ::unlink(path.c_str());
        return Error{why};
    }
    return Ok();
}

Expected<uint64_t> BackingSize(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Error{Why("cannot open " + path)};
    struct stat st {};
    uint64_t size = 0;
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && S_ISBLK(st.st_mode)) {
        // A block device's end is its size.
        const off_t end = ::lseek(fd, 0, SEEK_END);
        ok = end >= 0;
        size = ok ? static_cast<uint64_t>(end) : 0;
    } else if (ok && S_ISREG(st.st_mode)) {
        size = static_cast<uint64_t>(st.st_size);
    } else if (ok) {
        ::close(fd);
        return Error{path + " is neither a regular file nor a block device"};
    }
    const std::string why = ok ? "" : Why("cannot size " + path);
    ::close(fd);
    if (!ok) return Error{why};
    return size;
}

Status InitMachine(const std::string& dir, const std::string& group) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return Error{"cannot create " + dir + ": " + ec.message()};
    const std::string tablePath = dir + "/" + DriveTable::kFileName;
    if (std::filesystem::exists(tablePath)) return Error{dir + " already holds a machine"};

    mode_t mode = 0700;
    if (!group.empty()) {
        const struct group* g = ::getgrnam(group.c_str());
        if (!g) return Error{"no group \"" + group + "\""};
        if (::chown(dir.c_str(), static_cast<uid_t>(-1), g->gr_gid) != 0) return Error{Why("cannot give " + dir + " to group " + group)};
        mode = 0770;
    }
    if (::chmod(dir.c_str(), mode) != 0) return Error{Why("cannot set the mode of " + dir)};

    DriveTable table;
    for (const auto& d : kDefaultDrives) {
        DriveEntry e{d.letter, d.kind, d.kind == DriveKind::CdRom, d.file ? d.file : ""};
        if (d.file) {
            const std::string path = dir + "/" + d.file;
            if (auto s = CreateSparseFile(path, d.size); !s) return s;
            if (d.fileSystem) {
                if (auto s = FormatBackingFile(path, d.fileSystem, d.label); !s) return s;
            }
        }
        if (auto s = table.Add(e); !s) return s;
    }
    return table.Save(tablePath);
}

}  // namespace tarn::host
