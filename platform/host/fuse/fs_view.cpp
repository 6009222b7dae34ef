#include "platform/host/fuse/fs_view.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include "platform/host/fs/recognizer.h"
#include "platform/host/fuse/run_tool.h"

namespace tarn::host::fuse {

namespace {

std::string Drive(char letter) { return std::string(1, letter) + ":"; }

std::string Canonical(const std::string& path) {
    std::error_code ec;
    auto c = std::filesystem::weakly_canonical(path, ec);
    return ec ? path : c.string();
}

// Mount table fields escape blanks, tabs, newlines and backslashes as \ooo.
std::string Unescape(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string octal = field.substr(i + 1, 3);
            if (octal.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::strtol(octal.c_str(), nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

struct MountEntry {
    std::string directory, fileSystem, source;
};

std::vector<MountEntry> MountTable() {
    std::vector<MountEntry> entries;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, directory, options, field;
        fields >> id >> parent >> device >> root >> directory >> options;
        // Optional fields up to the lone "-", then type and source.
        while (fields >> field && field != "-") {
        }
        MountEntry e;
        fields >> e.fileSystem >> e.source;
        e.directory = Unescape(directory);
        e.source = Unescape(e.source);
        entries.push_back(std::move(e));
    }
    return entries;
}

// The file a loop device reads, or empty.
std::string LoopBackingFile(const std::string& device) {
    if (device.rfind("/dev/loop", 0) != 0) return "";
    std::ifstream in("/sys/block/" + device.substr(5) + "/loop/backing_file");
    std::string path;
    std::getline(in, path);
    return path;
}

// Options for fusefat's -o: commas and backslashes in a path are escaped.
std::string OptionValue(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == ',' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

// Processes named comm that still have path open. fusefat finishes its
// writes after the unmount returns; a lock must wait for them.
bool HeldBy(const std::string& path, const std::string& comm) {
    std::error_code ec;
    for (const auto& proc : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string pid = proc.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream commFile(proc.path() / "comm");
        std::string name;
        std::getline(commFile, name);
        if (name != comm) continue;
        std::error_code fdError;
        for (const auto& fd : std::filesystem::directory_iterator(proc.path() / "fd", fdError)) {
            std::error_code linkError;
            if (std::filesystem::read_symlink(fd.path(), linkError).string() == path) return true;
        }
    }
    return false;
}

// What the drive's first bytes hold, read through the block view.
Expected<hostfs::VolumeInfo> Recognize(const std::string& blockFile, char letter) {
    const int fd = ::open(blockFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return Error{Drive(letter) + " is not a drive of this machine, or the machine is not running"};
        }
        return Error{"cannot open " + blockFile + ": " + std::strerror(errno)};
    }
    int readError = 0;
    hostfs::ReadFn read = [fd, &readError](uint64_t offset, std::span<uint8_t> buffer) -> hostfs::IoStatus {
        size_t done = 0;
        while (done < buffer.size()) {
            const ssize_t n = ::pread(fd, buffer.data() + done, buffer.size() - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                readError = n < 0 ? errno : 0;
                return -1;
            }
            done += static_cast<size_t>(n);
        }
        return hostfs::kIoSuccess;
    };
    const auto result = hostfs::recognizeVolume(read);
    ::close(fd);
    if (readError == ENOMEDIUM) return Error{Drive(letter) + " has no medium"};
    if (result.outcome == hostfs::MountOutcome::ReadFailed) {
        return Error{Drive(letter) + " cannot be read: " + std::strerror(readError ? readError : EIO)};
    }
    if (!result.mounted()) {
        return Error{Drive(letter) + " has no file system that can be opened (FAT or ext2/3/4); is it locked?"};
    }
    return result.volume;
}

bool DirectoryIsEmpty(const std::string& directory) {
    std::error_code ec;
    return std::filesystem::is_empty(directory, ec) && !ec;
}

}  // namespace

std::string BlockFilePath(const std::string& machineDir, char letter) {
    return machineDir + "/drives/" + std::string(1, letter);
}

std::string DefaultViewDirectory(char letter) {
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/Tarnvault/" + std::string(1, letter);
}

std::vector<FileSystemView> FindFileSystemViews(const std::string& machineDir, char letter) {
    const std::string blockFile = Canonical(BlockFilePath(machineDir, letter));
    std::vector<FileSystemView> views;
    for (const auto& m : MountTable()) {
        // fusefat is started with the block file as its name; a loop mount
        // shows its loop device, whose backing file is the block file.
        const bool ours = m.source == blockFile || (!m.source.empty() && LoopBackingFile(m.source) == blockFile);
        if (ours) views.push_back({letter, m.directory, m.fileSystem});
    }
    return views;
}

Status OpenFileSystemView(const std::string& machineDir, char letter, const std::string& directory) {
    if (letter < 'A' || letter > 'Z') return Error{"bad drive letter"};
    const std::string blockFile = Canonical(BlockFilePath(machineDir, letter));
    if (const auto open = FindFileSystemViews(machineDir, letter); !open.empty()) {
        return Error{Drive(letter) + " is already open in " + open.front().directory};
    }
    const auto volume = Recognize(blockFile, letter);
    if (!volume) return Error{volume.error()};

    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (ec) return Error{"cannot make " + directory + ": " + ec.message()};
    if (!DirectoryIsEmpty(directory)) return Error{directory + " is not empty"};

    std::vector<std::string> argv;
    const bool fat = volume->kind == hostfs::FileSystemKind::Fat12 || volume->kind == hostfs::FileSystemKind::Fat16 ||
                     volume->kind == hostfs::FileSystemKind::Fat32;
    if (fat) {
        // "rw+" is fusefat's read-write mode.
        argv = {"fusefat", "-o", "rw+,fsname=" + OptionValue(blockFile), blockFile, directory};
    } else {
        if (::geteuid() != 0) {
            return Error{"opening " + Drive(letter) + " (" + volume->fileSystemName +
                         ") needs a loop device, which only root may set up"};
        }
        // A CD file system is Linux's iso9660, and a disc is never written.
        const bool disc = volume->kind == hostfs::FileSystemKind::Cdfs;
        argv = {"mount", "-t", disc ? std::string("iso9660") : volume->fileSystemName, "-o",
                disc ? "loop,ro" : "loop", blockFile, directory};
    }
    std::string output;
    const int status = RunTool(argv, output);
    if (status != 0) {
        return Error{"cannot open " + Drive(letter) + " in " + directory + ": " +
                     (output.empty() ? argv[0] + " failed with status " + std::to_string(status) : output)};
    }
    return Ok();
}

Status CloseFileSystemViews(const std::string& machineDir, char letter, bool* inUse) {
    if (inUse) *inUse = false;
    const std::string blockFile = Canonical(BlockFilePath(machineDir, letter));
    for (const auto& view : FindFileSystemViews(machineDir, letter)) {
        int error = 0;
        if (::umount2(view.directory.c_str(), 0) != 0) error = errno;
        if (error == EPERM && view.fileSystem.rfind("fuse", 0) == 0) {
            // Not root: a FUSE mount of our own user goes through fusermount.
            std::string output;
            if (RunTool({"fusermount3", "-u", view.directory}, output) == 0) {
                error = 0;
            } else {
                error = output.find("busy") != std::string::npos ? EBUSY : EPERM;
            }
        }
        if (error == EBUSY) {
            if (inUse) *inUse = true;
            return Error{Drive(letter) + " is in use: files under " + view.directory +
                         " are open; close them and try again"};
        }
        if (error) return Error{"cannot close " + view.directory + ": " + std::strerror(error)};
    }
    // fusefat writes what it kept back after the unmount has returned.
    for (int i = 0; i < 3000 && HeldBy(blockFile, "fusefat"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (HeldBy(blockFile, "fusefat")) return Error{Drive(letter) + ": fusefat did not finish its writes"};
    return Ok();
}

}  // namespace tarn::host::fuse
