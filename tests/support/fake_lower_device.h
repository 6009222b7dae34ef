// A lower device for driver tests: a disk whose sectors live in memory or in a
// real file, and whose behaviour each test picks (complete at once, pend and
// complete from another thread, hold requests until released, fail with a
// given status). It records what reached it, so a test can tell what a
// filter above it passed down.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/nt/ntddk.h"

namespace tarn::test {

class FakeLowerDevice {
public:
    enum class Completion {
        Immediate,  // completed inside the dispatch routine
        Pend,       // marked pending, completed by the device's own thread
    };

    struct Options {
        uint64_t size = 1 << 20;
        ULONG flags = DO_DIRECT_IO;
        ULONG characteristics = 0;
        DEVICE_TYPE deviceType = FILE_DEVICE_DISK;
        // When set, the sectors live in this file (created or extended to size).
        std::string backingFile;
    };

    // One request as it reached the device.
    struct Seen {
        UCHAR major = 0;
        UCHAR minor = 0;
        ULONG ioctl = 0;
        int64_t offset = 0;
        ULONG length = 0;
    };

    explicit FakeLowerDevice(const Options& options);
    FakeLowerDevice() : FakeLowerDevice(Options{}) {}
    ~FakeLowerDevice();
    FakeLowerDevice(const FakeLowerDevice&) = delete;
    FakeLowerDevice& operator=(const FakeLowerDevice&) = delete;

    PDEVICE_OBJECT Device() const { return device_; }

    // The driver object all fakes share; made on first use and kept for the
    // life of the process (so pool accounting can start after it).
    static PDRIVER_OBJECT Driver();

    // Behaviour, changeable at any time.
    void SetCompletion(Completion completion);
    // Every later request of this major function fails with status (no data
    // moved); STATUS_SUCCESS clears it.
    void FailWith(UCHAR major, NTSTATUS status);
    // Reads and writes succeed but move only this many bytes (Information).
    void SetShortTransfer(std::optional<ULONG> bytes);
    // While held, pended reads and writes wait before they are served; Release
    // lets them go. PendingCount says how many have reached the device and
    // wait to be served.
    void Hold();
    void Release();
    size_t PendingCount() const;
    // Answer and Information of device control requests that reach the device.
    void SetControlAnswer(NTSTATUS status, ULONG_PTR information);

    // The stored bytes, bypassing every driver.
    std::vector<uint8_t> Peek(uint64_t offset, size_t length) const;
    void Poke(uint64_t offset, const std::vector<uint8_t>& bytes);

    // What reached the device, in order.
    std::vector<Seen> Requests() const;
    size_t Count(UCHAR major) const;
    void ClearRequests();

private:
    static NTSTATUS Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    NTSTATUS Handle(PIRP Irp);
    // Moves data for a read or write and sets the request's status block.
    void Serve(PIRP Irp);
    void Worker();
    void Record(PIRP Irp);
    PUCHAR Buffer(PIRP Irp) const;
    bool ReadStore(uint64_t offset, uint8_t* data, size_t length) const;
    bool WriteStore(uint64_t offset, const uint8_t* data, size_t length);

    Options options_;
    PDEVICE_OBJECT device_ = nullptr;
    int fd_ = -1;
    std::vector<uint8_t> memory_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    Completion completion_ = Completion::Immediate;
    std::map<UCHAR, NTSTATUS> failures_;
    std::optional<ULONG> shortTransfer_;
    bool held_ = false;
    NTSTATUS controlStatus_ = STATUS_SUCCESS;
    ULONG_PTR controlInformation_ = 0;
    std::vector<Seen> seen_;
    std::deque<PIRP> queue_;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace tarn::test
