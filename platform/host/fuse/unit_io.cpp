#include "platform/host/fuse/unit_io.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <shared_mutex>

namespace tarn::host::fuse {

namespace {

uint64_t Down(uint64_t v) { return v - v % kUnitBytes; }
uint64_t Up(uint64_t v) { return Down(v + kUnitBytes - 1); }

// Whole units [offset, offset + length) in pieces of at most kMaxRequestBytes.
ByteTransfer Units(UnitDevice& device, bool write, uint8_t* buffer, uint64_t length, uint64_t offset) {
    ByteTransfer t;
    while (t.done < length) {
        const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(length - t.done, kMaxRequestBytes));
        uint32_t moved = 0;
        const NTSTATUS status = write ? device.WriteUnits(buffer + t.done, piece, offset + t.done, moved)
                                      : device.ReadUnits(buffer + t.done, piece, offset + t.done, moved);
        t.done += std::min(moved, piece);
        if (!NT_SUCCESS(status)) {
            t.status = status;
            return t;
        }
        // A device that moves less without saying why has nothing more here.
        if (moved < piece) return t;
    }
    return t;
}

// Of a unit transfer that started at start and moved moved bytes, how many
// of the caller's bytes (which begin at offset) it covered.
size_t CallerBytes(uint64_t start, uint64_t offset, size_t moved, size_t length) {
    const uint64_t head = offset - start;
    return moved <= head ? 0 : std::min<size_t>(moved - head, length);
}

}  // namespace

ByteTransfer ReadBytes(UnitDevice& device, uint64_t size, uint64_t offset, size_t length, std::vector<uint8_t>& scratch,
                       const uint8_t*& data) {
    size = Down(size);
    data = scratch.data();
    if (offset >= size || length == 0) return {};
    const uint64_t end = std::min<uint64_t>(offset + std::min<uint64_t>(length, size), size);
    const uint64_t start = Down(offset);
    const uint64_t span = Up(end) - start;
    if (scratch.size() < span) scratch.resize(span);
    ByteTransfer units = Units(device, false, scratch.data(), span, start);
    // Reading into the end of the medium is the end of the file, not a fault.
    if (units.status == STATUS_END_OF_FILE) units.status = STATUS_SUCCESS;
    data = scratch.data() + (offset - start);
    return {units.status, CallerBytes(start, offset, units.done, static_cast<size_t>(end - offset))};
}

ByteTransfer WriteBytes(UnitDevice& device, DriveMutex& drive, uint64_t size, uint64_t offset, uint8_t* data,
                        size_t length, std::vector<uint8_t>& scratch) {
    size = Down(size);
    if (length == 0) return {};
    if (offset >= size) return {STATUS_DISK_FULL, 0};
    const uint64_t end = offset + std::min<uint64_t>(length, size - offset);
    const uint64_t start = Down(offset);
    const uint64_t stop = Up(end);
    const size_t count = static_cast<size_t>(end - offset);
    if (start == offset && stop == end) {
        std::shared_lock<DriveMutex> guard(drive);
        const ByteTransfer units = Units(device, true, data, count, offset);
        return {units.status, units.done};
    }

    if (scratch.size() < stop - start) scratch.resize(stop - start);

    std::unique_lock<DriveMutex> guard(drive);
    // The partial units at the ends come from the device first; a failed
    // read writes nothing.
    const uint64_t headUnit = start;
    const uint64_t tailUnit = stop - kUnitBytes;
    if (offset != start) {
        const ByteTransfer head = Units(device, false, scratch.data(), kUnitBytes, headUnit);
        if (!NT_SUCCESS(head.status)) return {head.status, 0};
        if (head.done != kUnitBytes) return {STATUS_DEVICE_DATA_ERROR, 0};
    }
    if (end != stop && (tailUnit != headUnit || offset == start)) {
        const ByteTransfer tail = Units(device, false, scratch.data() + (tailUnit - start), kUnitBytes, tailUnit);
        if (!NT_SUCCESS(tail.status)) return {tail.status, 0};
        if (tail.done != kUnitBytes) return {STATUS_DEVICE_DATA_ERROR, 0};
    }
    std::memcpy(scratch.data() + (offset - start), data, count);
    const ByteTransfer units = Units(device, true, scratch.data(), stop - start, start);
    return {units.status, CallerBytes(start, offset, units.done, count)};
}

}  // namespace tarn::host::fuse
