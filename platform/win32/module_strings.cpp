// The program's own file name, and the few string helpers callers use.
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "errno_map.h"
#include "winbase.h"

extern "C" DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  if (hModule) {
    // FIXME: names of loaded libraries; only the program's own is asked for.
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n < 0) {
    SetLastError(tarn::win32::ErrnoToWin32(errno));
    return 0;
  }
  if (!lpFilename || nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  auto length = static_cast<DWORD>(n);
  if (length + 1 > nSize) {
    // As Windows does: truncated, terminated, and the full size returned.
    std::memcpy(lpFilename, path, nSize - 1);
    lpFilename[nSize - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  std::memcpy(lpFilename, path, length);
  lpFilename[length] = '\0';
  SetLastError(ERROR_SUCCESS);
  return length;
}

extern "C" int WINAPI lstrlenA(LPCSTR lpString) { return lpString ? static_cast<int>(std::strlen(lpString)) : 0; }

extern "C" LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength) {
  if (!lpString1 || !lpString2 || iMaxLength <= 0) return lpString1;
  int i = 0;
  for (; i < iMaxLength - 1 && lpString2[i]; ++i) lpString1[i] = lpString2[i];
  lpString1[i] = '\0';
  return lpString1;
}

extern "C" int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
  if (!lpString1 || !lpString2) return lpString1 ? 1 : (lpString2 ? -1 : 0);
  int r = strcasecmp(lpString1, lpString2);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}
