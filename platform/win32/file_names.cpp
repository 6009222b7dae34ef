// Calls on file names: attributes, deletion, full path.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "errno_map.h"
#include "nt_path.h"
#include "share_access.h"
#include "winbase.h"

using namespace tarn::win32;

extern "C" DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
  if (!lpFileName || !*lpFileName) {
    SetLastError(lpFileName ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  std::string path = LinuxPathOf(lpFileName);
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    SetLastError(PathErrnoToWin32(errno, path));
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (!(st.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

extern "C" BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
  if (!lpFileName || !*lpFileName) {
    SetLastError(lpFileName ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string path = LinuxPathOf(lpFileName);
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    SetLastError(PathErrnoToWin32(errno, path));
    return FALSE;
  }
  if (S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)) {
    // What GetFileAttributesA reports as read-only, Windows will not delete.
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (S_ISREG(st.st_mode)) {
    // Deleting needs delete access, which an open that shares no deletion refuses.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    if (fd >= 0) {
      DWORD error = CheckShareAccess(fd, 4u /* delete */, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
      close(fd);
      if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
      }
    }
  }
  if (unlink(path.c_str()) != 0) {
    SetLastError(PathErrnoToWin32(errno, path));
    return FALSE;
  }
  return TRUE;
}

extern "C" DWORD WINAPI GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer,
                                         LPSTR* lpFilePart) {
  if (lpFilePart) *lpFilePart = nullptr;
  if (!lpFileName || !*lpFileName) {
    SetLastError(ERROR_INVALID_NAME);
    return 0;
  }
  std::string_view name(lpFileName);
  std::string full = name.substr(0, kDevicePrefix.size()) == kDevicePrefix ? std::string(name) : AbsolutePath(name);
  if (full.size() + 1 > nBufferLength || !lpBuffer) return static_cast<DWORD>(full.size() + 1);
  std::memcpy(lpBuffer, full.c_str(), full.size() + 1);
  if (lpFilePart) {
    auto slash = full.find_last_of("/\\");
    if (slash != std::string::npos && slash + 1 < full.size()) *lpFilePart = lpBuffer + slash + 1;
  }
  return static_cast<DWORD>(full.size());
}
