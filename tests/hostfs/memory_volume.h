// An in-memory volume for fault-injection tests: stores only the sectors
// written, records every write, and fails reads or writes on request.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "platform/host/fs/volume_io.h"

namespace tarn::hostfs::test {

constexpr IoStatus kStatusDeviceError = static_cast<IoStatus>(0xC0000185);  // STATUS_IO_DEVICE_ERROR

class MemoryVolume {
public:
    explicit MemoryVolume(std::uint64_t sizeBytes, std::uint8_t fill = 0) : size_(sizeBytes), fill_(fill) {}

    struct Write {
        std::uint64_t offset, length;
    };

    ReadFn reader();
    WriteFn writer();
    VolumeSink sink() { return VolumeSink{writer(), size_}; }

    // Reads touching [from, to) fail with kStatusDeviceError.
    void failReadsIn(std::uint64_t from, std::uint64_t to) { badReads_ = {from, to}; }
    // From now on, the write with this index (counting from 0) and all
    // after it fail.
    void failWritesFrom(std::size_t index) {
        failWritesFrom_ = index;
        writeCalls_ = 0;
    }

    const std::vector<Write>& writes() const { return writes_; }
    void clearWrites() { writes_.clear(); }
    std::uint64_t size() const { return size_; }

    void put(std::uint64_t offset, std::span<const std::uint8_t> data);
    void get(std::uint64_t offset, std::span<std::uint8_t> out) const;

private:
    static constexpr std::uint64_t kPage = 4096;
    std::uint64_t size_;
    std::uint8_t fill_;
    std::map<std::uint64_t, std::vector<std::uint8_t>> pages_;
    std::vector<Write> writes_;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> badReads_;
    std::optional<std::size_t> failWritesFrom_;
    std::size_t writeCalls_ = 0;
};

}  // namespace tarn::hostfs::test
