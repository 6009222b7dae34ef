// Machine calls behind the drive functions that have no Win32 entry of their
// own (the shell's format dialog reaches the machine through this).
#pragma once

#include <string>

#include "windef.h"

namespace tarn::win32 {

// Writes an empty FAT file system ("FAT" or "FAT32") on the drive's volume
// through its device stack. Returns a Win32 error.
DWORD FormatDrive(char letter, const std::string& fileSystem, const std::string& label);

}  // namespace tarn::win32
