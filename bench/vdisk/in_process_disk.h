// The driver loaded into this process with the benchmark image mounted on
// Ombrel0 and unlocked: reads go straight to the device as IRPs. The header
// stays free of the kernel headers, which cannot share a file with the Win32
// ones.
#pragma once

#include <cstdint>
#include <filesystem>

struct _DRIVER_OBJECT;
struct _DEVICE_OBJECT;

namespace vdisk_bench {

class InProcessDisk {
public:
    explicit InProcessDisk(const std::filesystem::path& image);  // throws std::runtime_error
    ~InProcessDisk();
    InProcessDisk(const InProcessDisk&) = delete;
    InProcessDisk& operator=(const InProcessDisk&) = delete;

    // One read request of length bytes at offset; false when it fails.
    bool Read(uint64_t offset, void* buffer, uint32_t length) const;

private:
    _DRIVER_OBJECT* driver_ = nullptr;
    _DEVICE_OBJECT* disk_ = nullptr;
};

}  // namespace vdisk_bench
