// A machine of its own (tarnhost in a child process) with the "VTarn"
// driver service started and the benchmark image mounted on X: and
// unlocked: reads go through CreateFileA("\\.\X:") and ReadFile, as a
// program's would. The header stays free of the Win32 headers, which cannot
// share a file with the kernel ones.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace vdisk_bench {

class MachineDisk {
public:
    // dir: an empty folder for the machine. Throws std::runtime_error with
    // the step that failed.
    MachineDisk(const std::filesystem::path& dir, const std::filesystem::path& image);
    ~MachineDisk();
    MachineDisk(const MachineDisk&) = delete;
    MachineDisk& operator=(const MachineDisk&) = delete;

    // Reads length bytes at offset through the drive; false when it fails.
    bool Read(uint64_t offset, void* buffer, uint32_t length) const;

private:
    void Start();
    void Mount(const std::filesystem::path& image);
    void Close();  // whatever was set up, undone

    std::string machine_;
    pid_t host_ = -1;
    void* drive_ = nullptr;  // the drive's HANDLE once opened
};

}  // namespace vdisk_bench
