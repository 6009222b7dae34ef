// Byte-granular transfers over a whole-unit device: the head/body/tail split,
// read-modify-write of partial units, faults of the device below, and two
// writers sharing a unit.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/host/fuse/errno_of_status.h"
#include "platform/host/fuse/unit_io.h"

namespace tarn::host::fuse {
namespace {

// A device in memory that checks every request is whole units and can fail
// or go short on chosen requests.
class MemoryUnits : public UnitDevice {
public:
    explicit MemoryUnits(size_t size) : bytes(size) {
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + (i >> 9));
    }
    NTSTATUS ReadUnits(uint8_t* buffer, uint32_t length, uint64_t offset, uint32_t& done) override {
        return Move(false, buffer, length, offset, done);
    }
    NTSTATUS WriteUnits(uint8_t* buffer, uint32_t length, uint64_t offset, uint32_t& done) override {
        const NTSTATUS status = Move(true, buffer, length, offset, done);
        // The filter encrypts in place: the caller's copy must not matter.
        std::memset(buffer, 0xEE, length);
        return status;
    }

    std::vector<uint8_t> bytes;
    NTSTATUS failReads = STATUS_SUCCESS;
    NTSTATUS failWrites = STATUS_SUCCESS;
    uint32_t shortWrite = 0;  // when non-zero, writes move only this many bytes
    std::atomic<int> writes{0};
    std::atomic<bool> misaligned{false};
    std::function<void()> betweenReadAndWrite;

private:
    NTSTATUS Move(bool write, uint8_t* buffer, uint32_t length, uint64_t offset, uint32_t& done) {
        done = 0;
        if (offset % kUnitBytes || length % kUnitBytes) misaligned = true;
        if (!write && failReads != STATUS_SUCCESS) return failReads;
        if (write && failWrites != STATUS_SUCCESS) return failWrites;
        if (offset >= bytes.size()) return write ? STATUS_INVALID_PARAMETER : STATUS_END_OF_FILE;
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length, bytes.size() - offset));
        if (write && shortWrite) n = std::min(n, shortWrite);
        std::unique_lock<std::mutex> guard(mutex_);
        if (write) {
            std::memcpy(bytes.data() + offset, buffer, n);
            ++writes;
        } else {
            std::memcpy(buffer, bytes.data() + offset, n);
        }
        guard.unlock();
        done = n;
        if (!write && betweenReadAndWrite) betweenReadAndWrite();
        return STATUS_SUCCESS;
    }
    std::mutex mutex_;
};

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

// Every split of a transfer: inside one unit, across a boundary, whole
// units, a long body with both ends partial, across the end of the device.
TEST(UnitIo, UnalignedTransfersMoveExactlyTheBytesAskedFor) {
    constexpr size_t kSize = 3u << 20;
    struct Case {
        const char* what;
        uint64_t offset;
        size_t length;
        size_t expected;  // bytes moved
    };
    const Case cases[] = {
        {"inside one unit", 100, 50, 50},
        {"one byte at a unit's end", 511, 1, 1},
        {"across one boundary", 500, 30, 30},
        {"whole units", 1024, 2048, 2048},
        {"partial head and tail around a body", 700, 5000, 5000},
        {"aligned start, partial tail", 4096, 700, 700},
        {"partial head, aligned end", 3000, 4096 - 3000 + 512, 4096 - 3000 + 512},
        {"past the end is cut", kSize - 300, 1000, 300},
        {"longer than one request below", 123, (5u << 20) / 2, (5u << 20) / 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MemoryUnits device(kSize);
        std::vector<uint8_t> model = device.bytes;
        tarn::host::fuse::DriveMutex lock;
        std::vector<uint8_t> scratch;
        const auto data = Pattern(c.length, 0x31);
        auto written = data;  // the device may change what it was given
        const size_t length = std::min<size_t>(c.length, kSize - std::min<uint64_t>(c.offset, kSize));
        const ByteTransfer w = WriteBytes(device, lock, kSize, c.offset, written.data(), c.length, scratch);
        EXPECT_EQ(w.status, STATUS_SUCCESS);
        EXPECT_EQ(w.done, c.expected);
        std::copy(data.begin(), data.begin() + static_cast<long>(std::min(length, c.expected)), model.begin() + static_cast<long>(c.offset));
        EXPECT_EQ(device.bytes, model) << "bytes outside the write changed, or the write is wrong";
        EXPECT_FALSE(device.misaligned) << "a request below was not whole units";

        const uint8_t* got = nullptr;
        const ByteTransfer r = ReadBytes(device, kSize, c.offset, c.length, scratch, got);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        ASSERT_EQ(r.done, c.expected);
        EXPECT_TRUE(std::equal(got, got + r.done, model.begin() + static_cast<long>(c.offset)));
    }
}

TEST(UnitIo, ReadsAndWritesAtOrPastTheEndMoveNothing) {
    MemoryUnits device(8192);
    const auto before = device.bytes;
    tarn::host::fuse::DriveMutex lock;
    std::vector<uint8_t> scratch;
    const uint8_t* got = nullptr;
    const auto r = ReadBytes(device, 8192, 8192, 100, scratch, got);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.done, 0u);
    uint8_t byte = 1;
    const auto w = WriteBytes(device, lock, 8192, 9000, &byte, 1, scratch);
    EXPECT_EQ(w.status, STATUS_DISK_FULL);
    EXPECT_EQ(ErrnoOfStatus(w.status), ENOSPC);
    EXPECT_EQ(device.bytes, before);
}

// A failure below reaches the caller, and a partial unit whose read failed
// is never written back with made-up bytes.
TEST(UnitIo, DeviceFaultsReachTheCallerAndLoseNothing) {
    struct Case {
        const char* what;
        NTSTATUS failReads, failWrites;
        uint64_t offset;
        size_t length;
        int expectedErrno;
    };
    const Case cases[] = {
        {"locked drive refuses the write", STATUS_SUCCESS, STATUS_ACCESS_DENIED, 1024, 512, EACCES},
        {"write-protected medium", STATUS_SUCCESS, STATUS_MEDIA_WRITE_PROTECTED, 0, 4096, EROFS},
        {"head read fails in a read-modify-write", STATUS_IO_DEVICE_ERROR, STATUS_SUCCESS, 100, 10, EIO},
        {"no medium", STATUS_NO_MEDIA_IN_DEVICE, STATUS_NO_MEDIA_IN_DEVICE, 600, 10, ENOMEDIUM},
        {"drive removed", STATUS_DELETE_PENDING, STATUS_DELETE_PENDING, 0, 512, ENXIO},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MemoryUnits device(16384);
        device.failReads = c.failReads;
        device.failWrites = c.failWrites;
        const auto before = device.bytes;
        tarn::host::fuse::DriveMutex lock;
        std::vector<uint8_t> scratch;
        auto data = Pattern(c.length, 9);
        const auto w = WriteBytes(device, lock, 16384, c.offset, data.data(), c.length, scratch);
        EXPECT_EQ(w.done, 0u);
        EXPECT_EQ(ErrnoOfStatus(w.status), c.expectedErrno);
        EXPECT_EQ(device.bytes, before);
        if (c.failReads != STATUS_SUCCESS) {
            const uint8_t* got = nullptr;
            const auto r = ReadBytes(device, 16384, c.offset, c.length, scratch, got);
            EXPECT_EQ(r.done, 0u);
            EXPECT_EQ(ErrnoOfStatus(r.status), c.expectedErrno);
        }
    }
}

TEST(UnitIo, ShortWriteBelowIsReportedAsShort) {
    MemoryUnits device(16384);
    device.shortWrite = 1024;
    tarn::host::fuse::DriveMutex lock;
    std::vector<uint8_t> scratch;
    auto data = Pattern(4096, 3);
    // Starts 100 bytes into a unit: of the 1024 bytes moved, 924 were the caller's.
    const auto w = WriteBytes(device, lock, 16384, 612, data.data(), data.size(), scratch);
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.done, 924u) << "more reported written than reached the device";
}

// Two writers patch different bytes of the same unit at once. Each one's
// read of the unit waits a little for the other's: without the drive's lock
// both read the old unit and the later write puts the other's bytes back.
TEST(UnitIo, ConcurrentPartialWritesOfOneUnitNeverTearIt) {
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        MemoryUnits device(4096);
        std::fill(device.bytes.begin(), device.bytes.end(), 0);
        std::mutex m;
        std::condition_variable cv;
        int arrived = 0;
        device.betweenReadAndWrite = [&] {
            std::unique_lock<std::mutex> guard(m);
            ++arrived;
            cv.notify_all();
            cv.wait_for(guard, std::chrono::milliseconds(20), [&] { return arrived >= 2; });
        };
        tarn::host::fuse::DriveMutex lock;
        auto writer = [&](uint64_t offset, uint8_t value) {
            std::vector<uint8_t> scratch;
            std::vector<uint8_t> patch(64, value);
            WriteBytes(device, lock, 4096, offset, patch.data(), patch.size(), scratch);
        };
        std::thread a(writer, 10, 0xA1);
        std::thread b(writer, 300, 0xB2);
        a.join();
        b.join();
        EXPECT_TRUE(std::all_of(device.bytes.begin() + 10, device.bytes.begin() + 74, [](uint8_t v) { return v == 0xA1; }))
            << "the first writer's bytes were lost";
        EXPECT_TRUE(std::all_of(device.bytes.begin() + 300, device.bytes.begin() + 364, [](uint8_t v) { return v == 0xB2; }))
            << "the second writer's bytes were lost";
    }
}

}  // namespace
}  // namespace tarn::host::fuse
