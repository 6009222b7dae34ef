// FormatMessageA for system messages, and the local heap it allocates from.
#include <cstdlib>
#include <cstring>

#include "message_table.h"
#include "winbase.h"

extern "C" HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  void* p = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, uBytes ? uBytes : 1) : std::malloc(uBytes ? uBytes : 1);
  if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  std::free(hMem);
  return nullptr;
}

namespace {

bool HasInserts(const char* text) {
  for (const char* p = std::strchr(text, '%'); p; p = std::strchr(p + 1, '%'))
    if (p[1] >= '1' && p[1] <= '9') return true;
  return false;
}

}  // namespace

extern "C" DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD /*dwLanguageId*/,
                                       LPSTR lpBuffer, DWORD nSize, void* Arguments) {
  const char* text = nullptr;
  if (dwFlags & FORMAT_MESSAGE_FROM_STRING) {
    text = static_cast<const char*>(lpSource);
  } else if (dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) {
    text = tarn::win32::SystemMessageText(dwMessageId);
    if (!text) {
      SetLastError(ERROR_MR_MID_NOT_FOUND);
      return 0;
    }
  }
  if (!text || !lpBuffer) {
    // FIXME: messages from modules are not supported; nothing here has any.
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // FIXME: insert expansion (%1 with Arguments) and line-width control are not
  // supported; every caller here asks for the text as stored.
  if (!(dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) && HasInserts(text) && Arguments == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t length = std::strlen(text);
  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    size_t bytes = length + 1 > nSize ? length + 1 : nSize;
    auto* out = static_cast<char*>(LocalAlloc(LMEM_FIXED, bytes));
    if (!out) return 0;
    std::memcpy(out, text, length + 1);
    *reinterpret_cast<char**>(lpBuffer) = out;
  } else {
    if (length + 1 > nSize) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::memcpy(lpBuffer, text, length + 1);
  }
  return static_cast<DWORD>(length);
}
