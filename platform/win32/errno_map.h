// Linux errno values as the Win32 errors Windows reports for the same failure.
#pragma once

#include <string_view>

#include "windef.h"

namespace tarn::win32 {

DWORD ErrnoToWin32(int error);

// For failures naming a path: a missing file is ERROR_FILE_NOT_FOUND when its
// directory exists and ERROR_PATH_NOT_FOUND when it does not, as on Windows.
DWORD PathErrnoToWin32(int error, std::string_view path);

}  // namespace tarn::win32
