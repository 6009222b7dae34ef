// The Win32 API as the service uses it, plus the codes of its drivers.
#pragma once

#include <windows.h>

#include <cstdint>

// Free space, drive letters, the service control manager: the machine's part
// of the Win32 layer.
#include <fileapi.h>
#include <winsvc.h>

// Codes this service sends to tarn and vtarn.
#ifndef IOCTL_CRYPT_QUERY_STATE
#define IOCTL_CRYPT_QUERY_STATE 0x008A6004u
#define IOCTL_CRYPT_SET_KEY 0x008AE000u
#define IOCTL_CRYPT_CLEAR_KEY 0x008AE008u
#define IOCTL_CRYPT_RAW_WRITE 0x008AE00Cu
#define IOCTL_CRYPT_END_ENCRYPTION 0x008AE010u
#endif
#ifndef IOCTL_VDISK_MOUNT
#define IOCTL_VDISK_MOUNT 0x8002C000u
#define IOCTL_VDISK_UNMOUNT 0x8002C004u
#define IOCTL_VDISK_QUERY 0x80024008u
#endif

#ifndef ERROR_INVALID_PASSWORD
#define ERROR_INVALID_PASSWORD 86L
#endif
#ifndef ERROR_CONTINUE
#define ERROR_CONTINUE 1246L
#endif
