// Byte-granular reads and writes over a device that moves only whole
// 512-byte units: each request is split into head, body and tail; a partial
// unit at either end of a write is read, patched and written back.
//
// Contract: a read-modify-write holds the drive's lock exclusively from the
// read of its head/tail units to the end of its write, whole-unit writes hold
// it shared, so two writers never tear a unit (the later writer's read sees
// the earlier writer's bytes). Reads take no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/host/fuse/drive_mutex.h"
#include "platform/nt/ntddk.h"

namespace tarn::host::fuse {

constexpr uint64_t kUnitBytes = 512;
// The largest single request sent down; longer transfers go in pieces.
constexpr uint32_t kMaxRequestBytes = 1u << 20;

// A device that moves whole units (offset and length multiples of
// kUnitBytes). done gets the bytes moved, also on failure.
class UnitDevice {
public:
    virtual ~UnitDevice() = default;
    virtual NTSTATUS ReadUnits(uint8_t* buffer, uint32_t length, uint64_t offset, uint32_t& done) = 0;
    // The device may change buffer (the filter encrypts in place).
    virtual NTSTATUS WriteUnits(uint8_t* buffer, uint32_t length, uint64_t offset, uint32_t& done) = 0;
};

// done bytes moved; status is the failure that stopped the transfer, or
// STATUS_SUCCESS. A transfer that moved bytes before failing reports both.
struct ByteTransfer {
    NTSTATUS status = STATUS_SUCCESS;
    size_t done = 0;
};

// Reads up to length bytes at offset of a device of size bytes (cut at the
// end; nothing at or past it). The bytes are left in scratch; data points at
// the first one.
ByteTransfer ReadBytes(UnitDevice& device, uint64_t size, uint64_t offset, size_t length, std::vector<uint8_t>& scratch,
                       const uint8_t*& data);

// Writes length bytes at offset of a device of size bytes. A write that
// starts at or past the end fails with STATUS_DISK_FULL; one that runs past
// it is cut there. Whole units go down from data itself, so the device may
// leave data changed (the filter encrypts in place): pass bytes the caller
// no longer needs. Partial units go through scratch.
ByteTransfer WriteBytes(UnitDevice& device, DriveMutex& drive, uint64_t size, uint64_t offset, uint8_t* data,
                        size_t length, std::vector<uint8_t>& scratch);

}  // namespace tarn::host::fuse
