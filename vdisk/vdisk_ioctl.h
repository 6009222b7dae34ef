// Control codes and the mount record of the virtual disk driver, shared with
// the service (which also stores the record in the registry and carries it
// over RPC). Self-contained so that kernel-side and user-side code can both
// include it.
#pragma once

#include <cstddef>
#include <cstdint>

// CTL_CODE(0x8002, function, METHOD_BUFFERED, access), spelled out so this
// header needs neither the kernel nor the user-mode headers.
#define VDISK_DEVICE_TYPE 0x8002u
#define VDISK_CTL_CODE(function, access) ((VDISK_DEVICE_TYPE << 16) | ((access) << 14) | ((function) << 2) | 0u)

#define IOCTL_VDISK_MOUNT VDISK_CTL_CODE(0x000u, 0x3u)   // FILE_READ_ACCESS | FILE_WRITE_ACCESS
#define IOCTL_VDISK_UNMOUNT VDISK_CTL_CODE(0x001u, 0x3u) // FILE_READ_ACCESS | FILE_WRITE_ACCESS
#define IOCTL_VDISK_QUERY VDISK_CTL_CODE(0x002u, 0x1u)   // FILE_READ_ACCESS

static_assert(IOCTL_VDISK_MOUNT == 0x8002C000u);
static_assert(IOCTL_VDISK_UNMOUNT == 0x8002C004u);
static_assert(IOCTL_VDISK_QUERY == 0x80024008u);

// Devices: "\Device\Ombrel\Ombrel%u" (disks) and "\Device\Ombrel\OmbrelCd%u"
// (CD/DVD), numbers 0 .. VDISK_DEVICES_PER_KIND - 1.
constexpr unsigned VDISK_DEVICES_PER_KIND = 8;

// DiskKind values: 1 is a network disk; every other value is file-backed
// (the service writes 0 for disk images and 2 for CD/DVD images).
constexpr uint32_t VDISK_KIND_IMAGE = 0;
constexpr uint32_t VDISK_KIND_NETWORK = 1;
constexpr uint32_t VDISK_KIND_CD_IMAGE = 2;

// Capacity of each name field in bytes: 300 UTF-16 code units, the last of
// which must be the terminating NUL.
constexpr size_t VDISK_NAME_BYTES = 600;
constexpr size_t VDISK_NAME_CHARS = VDISK_NAME_BYTES / sizeof(char16_t);

// Input of IOCTL_VDISK_MOUNT and output of IOCTL_VDISK_QUERY: exactly 1248
// bytes, little-endian, no padding. Names are UTF-16 NT paths: "\??\" and
// the Linux path of the file.
#pragma pack(push, 1)
struct VDISK_MOUNT_RECORD {
    int64_t DiskSize;        // mount: size of a missing image to create (0: never create)
    uint8_t ReadOnly;        // ignored on CD devices (always read-only)
    uint8_t UseLocalCache;   // network disks only
    uint8_t Reserved1[2];
    uint32_t DiskKind;
    uint32_t ServerAddress;  // IPv4, network byte order
    uint16_t ServerPort;     // network byte order
    uint8_t DriveLetter;     // ASCII; the driver links "\DosDevices\Global\%c:"
    uint8_t Reserved2;
    uint32_t DeviceNumber;   // query only
    uint8_t Unused[20];
    char16_t CacheFileName[VDISK_NAME_CHARS];
    char16_t FileName[VDISK_NAME_CHARS];
};
#pragma pack(pop)

constexpr size_t VDISK_MOUNT_RECORD_SIZE = 1248;
static_assert(sizeof(VDISK_MOUNT_RECORD) == VDISK_MOUNT_RECORD_SIZE, "mount record layout");
static_assert(offsetof(VDISK_MOUNT_RECORD, DiskSize) == 0);
static_assert(offsetof(VDISK_MOUNT_RECORD, ReadOnly) == 8);
static_assert(offsetof(VDISK_MOUNT_RECORD, UseLocalCache) == 9);
static_assert(offsetof(VDISK_MOUNT_RECORD, DiskKind) == 12);
static_assert(offsetof(VDISK_MOUNT_RECORD, ServerAddress) == 16);
static_assert(offsetof(VDISK_MOUNT_RECORD, ServerPort) == 20);
static_assert(offsetof(VDISK_MOUNT_RECORD, DriveLetter) == 22);
static_assert(offsetof(VDISK_MOUNT_RECORD, DeviceNumber) == 24);
static_assert(offsetof(VDISK_MOUNT_RECORD, CacheFileName) == 48);
static_assert(offsetof(VDISK_MOUNT_RECORD, FileName) == 648);
