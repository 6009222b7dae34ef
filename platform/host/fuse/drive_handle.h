// One drive letter opened by the block view, as a user's handle opens it: the
// device the letter names and the top of its stack, referenced, and a file
// object that saw IRP_MJ_CREATE. Requests go to the top of the stack, so the
// filter (and vtarn for virtual drives) sees them as it sees every handle's.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/host/fuse/unit_io.h"
#include "platform/nt/ntddk.h"

namespace tarn::host::fuse {

class DriveHandle final : public UnitDevice {
public:
    // STATUS_OBJECT_NAME_NOT_FOUND when no device answers to the letter.
    static NTSTATUS Open(char letter, std::unique_ptr<DriveHandle>& handle);
    // Whether the letter names a device at all (no handle is made).
    static bool Exists(char letter);
    // The device the letter names, or null; no handle is made and no
    // reference kept, so the value serves only to tell devices apart.
    static const void* DeviceOf(char letter);
    ~DriveHandle() override;
    DriveHandle(const DriveHandle&) = delete;
    DriveHandle& operator=(const DriveHandle&) = delete;

    char Letter() const { return letter_; }
    PDEVICE_OBJECT Volume() const { return volume_; }  // the device the letter names

    // The medium's length in bytes (IOCTL_DISK_GET_LENGTH_INFO);
    // STATUS_NO_MEDIA_IN_DEVICE for an empty drive.
    NTSTATUS Length(uint64_t& bytes);
    // IRP_MJ_FLUSH_BUFFERS down the stack.
    NTSTATUS Flush();

    NTSTATUS ReadUnits(uint8_t* buffer, uint32_t length, uint64_t offset, uint32_t& done) override;
    NTSTATUS WriteUnits(uint8_t* buffer, uint32_t length, uint64_t offset, uint32_t& done) override;

private:
    DriveHandle(char letter, PDEVICE_OBJECT volume, PDEVICE_OBJECT top, PFILE_OBJECT fileObject)
        : letter_(letter), volume_(volume), top_(top), fileObject_(fileObject) {}

    const char letter_;
    PDEVICE_OBJECT volume_;
    PDEVICE_OBJECT top_;
    PFILE_OBJECT fileObject_;
};

}  // namespace tarn::host::fuse
