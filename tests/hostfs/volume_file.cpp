#include "tests/hostfs/volume_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace tarn::hostfs::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "hostfs-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

VolumeFile::VolumeFile(const std::filesystem::path& path) {
    fd_ = ::open(path.c_str(), O_RDWR);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path.string());
}

VolumeFile::~VolumeFile() {
    if (fd_ >= 0) ::close(fd_);
}

ReadFn VolumeFile::reader() const {
    return [fd = fd_](std::uint64_t offset, std::span<std::uint8_t> buffer) -> IoStatus {
        std::size_t done = 0;
        while (done < buffer.size()) {
            const ssize_t n = ::pread(fd, buffer.data() + done, buffer.size() - done, off_t(offset + done));
            if (n <= 0) return n == 0 ? -1 : errno;
            done += std::size_t(n);
        }
        return kIoSuccess;
    };
}

WriteFn VolumeFile::writer() const {
    return [fd = fd_](std::uint64_t offset, std::span<const std::uint8_t> data) -> IoStatus {
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::pwrite(fd, data.data() + done, data.size() - done, off_t(offset + done));
            if (n <= 0) return n == 0 ? -1 : errno;
            done += std::size_t(n);
        }
        return kIoSuccess;
    };
}

std::uint64_t VolumeFile::size() const {
    struct stat st {};
    ::fstat(fd_, &st);
    return std::uint64_t(st.st_size);
}

VolumeSink VolumeFile::sink() const { return VolumeSink{writer(), size()}; }

void makeSparseFile(const std::filesystem::path& path, std::uint64_t size) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) throw std::runtime_error("cannot create " + path.string());
    const int rc = ::ftruncate(fd, off_t(size));
    ::close(fd);
    if (rc != 0) throw std::runtime_error("cannot size " + path.string());
}

ToolRun runTool(const std::string& commandLine) {
    ToolRun run;
    FILE* pipe = ::popen((commandLine + " 2>&1").c_str(), "r");
    if (!pipe) return run;
    std::array<char, 4096> buffer;
    std::size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) run.output.append(buffer.data(), n);
    const int status = ::pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::optional<std::string> findTool(const std::string& name) {
    std::string dirs = std::getenv("PATH") ? std::getenv("PATH") : "";
    dirs += ":/usr/sbin:/sbin:/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::filesystem::path candidate = std::filesystem::path(dirs.substr(start, end - start)) / name;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate.string();
        start = end + 1;
    }
    return std::nullopt;
}

std::string quoted(const std::filesystem::path& path) {
    std::string out = "'";
    for (char c : path.string()) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace tarn::hostfs::test
