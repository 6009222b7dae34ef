// Whole transfers at a file position through a Win32 handle: the service's
// journal, its conversion media and image creation all read and write that way.
#pragma once

#include <cstdint>

#include "service/win32.h"

// 0 or the Win32 error; a short write is ERROR_DISK_FULL.
DWORD WriteAt(HANDLE file, uint64_t position, const uint8_t* data, DWORD length);
// True when all `length` bytes were read.
bool ReadAt(HANDLE file, uint64_t position, uint8_t* data, DWORD length);
