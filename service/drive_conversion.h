// The in-place drive conversion loop, on an open and locked volume handle.
#pragma once

#include <cstdint>

#include "service/win32.h"

// Converts length bytes in 64 KiB chunks, then loads the key (encrypt) or
// ends the encrypted state (decrypt) in the driver whatever happened before,
// except after a pause, which loads no key. Returns the outcome: 0,
// kConversionPaused or the Win32 error of the first failure; the message is
// left in LastMessage. With a target (the device path) the conversion keeps
// a journal, removed once every chunk is converted.
// `flusher`: a second handle on the volume, opened before the lock, for the
// journal's flushes (see VolumeMedium::Flusher).
DWORD RunDriveConversion(HANDLE volume, uint64_t length, bool encrypt, const char* password,
                         const char* target = nullptr, HANDLE flusher = INVALID_HANDLE_VALUE);
