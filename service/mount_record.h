// VDISK_MOUNT_RECORD: the 1248-byte record of a virtual disk mount, the
// input of IOCTL_VDISK_MOUNT and the output of IOCTL_VDISK_QUERY. The service
// stores it in the registry and carries it over RPC in a 2048-byte array;
// the virtual disk driver includes this header too. Little-endian, packed.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct VDISK_MOUNT_RECORD {
    int64_t DiskSize;            // 0: bytes; create a missing file of this size (0 = never)
    uint8_t ReadOnly;            // 8
    uint8_t UseLocalCache;       // 9: network disks only
    uint8_t Reserved1[2];        // 10
    uint32_t DiskKind;           // 12: 1 network disk, 2 CD/DVD image, else disk image
    uint32_t ServerAddress;      // 16: IPv4, network byte order
    uint16_t ServerPort;         // 20: network byte order
    char DriveLetter;            // 22: ASCII letter
    uint8_t Reserved2;           // 23
    int32_t DeviceNumber;        // 24: filled by the query
    uint8_t Unused[20];          // 28
    uint16_t CacheFileName[300]; // 48: UTF-16 NT path, NUL-terminated
    uint16_t FileName[300];      // 648: UTF-16 NT path, NUL-terminated
};
#pragma pack(pop)

constexpr size_t kMountRecordSize = 1248;
// Over RPC the record travels in the first bytes of a fixed 2048-byte array.
constexpr size_t kMountRecordWireSize = 2048;
constexpr uint32_t kDiskKindNetwork = 1;
constexpr uint32_t kDiskKindCdImage = 2;

static_assert(sizeof(VDISK_MOUNT_RECORD) == kMountRecordSize, "the record layout is fixed");
static_assert(offsetof(VDISK_MOUNT_RECORD, DiskKind) == 0x0C);
static_assert(offsetof(VDISK_MOUNT_RECORD, DriveLetter) == 0x16);
static_assert(offsetof(VDISK_MOUNT_RECORD, DeviceNumber) == 0x18);
static_assert(offsetof(VDISK_MOUNT_RECORD, CacheFileName) == 48);
static_assert(offsetof(VDISK_MOUNT_RECORD, FileName) == 648);
