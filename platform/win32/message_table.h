// The system's texts for the Win32 errors this layer can produce.
#pragma once

#include "windef.h"

namespace tarn::win32 {

// The text of a system message with its trailing "\r\n", or nullptr when the
// system has no text for the number.
const char* SystemMessageText(DWORD messageId);

}  // namespace tarn::win32
