// Control codes of the encryption filter, also served by the virtual disk
// driver and sent by the service. Self-contained so that kernel-side and
// user-side code can both include it.
#pragma once

#include <cstddef>
#include <cstdint>

// CTL_CODE(0x8A, function, METHOD_BUFFERED, access), spelled out so this header
// needs neither the kernel nor the user-mode headers.
#define TARN_CRYPT_DEVICE_TYPE 0x8Au
#define TARN_CRYPT_CTL_CODE(function, access) \
    ((TARN_CRYPT_DEVICE_TYPE << 16) | ((access) << 14) | ((function) << 2) | 0u /* METHOD_BUFFERED */)
#define TARN_READ_ACCESS 0x1u        // FILE_READ_ACCESS
#define TARN_READ_WRITE_ACCESS 0x3u  // FILE_READ_ACCESS | FILE_WRITE_ACCESS

#define IOCTL_CRYPT_SET_KEY TARN_CRYPT_CTL_CODE(0x800u, TARN_READ_WRITE_ACCESS)
#define IOCTL_CRYPT_QUERY_STATE TARN_CRYPT_CTL_CODE(0x801u, TARN_READ_ACCESS)
#define IOCTL_CRYPT_CLEAR_KEY TARN_CRYPT_CTL_CODE(0x802u, TARN_READ_WRITE_ACCESS)
#define IOCTL_CRYPT_RAW_WRITE TARN_CRYPT_CTL_CODE(0x803u, TARN_READ_WRITE_ACCESS)
#define IOCTL_CRYPT_END_ENCRYPTION TARN_CRYPT_CTL_CODE(0x804u, TARN_READ_WRITE_ACCESS)

static_assert(IOCTL_CRYPT_QUERY_STATE == 0x008A6004u);
static_assert(IOCTL_CRYPT_SET_KEY == 0x008AE000u);
static_assert(IOCTL_CRYPT_CLEAR_KEY == 0x008AE008u);
static_assert(IOCTL_CRYPT_RAW_WRITE == 0x008AE00Cu);
static_assert(IOCTL_CRYPT_END_ENCRYPTION == 0x008AE010u);

// IOCTL_CRYPT_SET_KEY input: the 32 key bytes; longer input is accepted and
// the excess ignored.
constexpr size_t CRYPT_KEY_LENGTH = 32;

// IOCTL_CRYPT_QUERY_STATE output: one little-endian u32, 1 when the device
// carries the marker.
constexpr size_t CRYPT_STATE_LENGTH = sizeof(uint32_t);

// IOCTL_CRYPT_RAW_WRITE input: the device byte offset, then the data
// (input length - 8 bytes, whole 512-byte units, 512 .. 65536 bytes).
struct RAW_WRITE_REQUEST {
    int64_t Offset;
    uint8_t Data[1];
};
constexpr size_t RAW_WRITE_HEADER_LENGTH = offsetof(RAW_WRITE_REQUEST, Data);
constexpr size_t RAW_WRITE_MIN_DATA = 512;
constexpr size_t RAW_WRITE_MAX_DATA = 65536;
static_assert(RAW_WRITE_HEADER_LENGTH == 8);
