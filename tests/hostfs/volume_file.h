// Test helpers: sparse files as volumes, and running the independent tools.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/host/fs/volume_io.h"

namespace tarn::hostfs::test {

// A fresh directory under the system's temp folder, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A file opened for reading and writing; reads past its end fail, as they do
// on a device.
class VolumeFile {
public:
    explicit VolumeFile(const std::filesystem::path& path);
    ~VolumeFile();
    VolumeFile(const VolumeFile&) = delete;
    VolumeFile& operator=(const VolumeFile&) = delete;

    ReadFn reader() const;
    WriteFn writer() const;
    VolumeSink sink() const;
    std::uint64_t size() const;

private:
    int fd_ = -1;
};

// Creates (or cuts) a sparse file of the given size.
void makeSparseFile(const std::filesystem::path& path, std::uint64_t size);

struct ToolRun {
    int exitCode = -1;
    std::string output;  // stdout and stderr together
};

// Runs a shell command line and collects its output.
ToolRun runTool(const std::string& commandLine);

// Full path of a tool from PATH or the sbin folders, if it is installed.
std::optional<std::string> findTool(const std::string& name);

// Quotes a path for the shell.
std::string quoted(const std::filesystem::path& path);

}  // namespace tarn::hostfs::test
