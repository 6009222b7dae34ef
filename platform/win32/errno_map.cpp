#include "errno_map.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "winerror.h"

namespace tarn::win32 {

DWORD ErrnoToWin32(int error) {
  switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EROFS: return ERROR_WRITE_PROTECT;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EFBIG: return ERROR_FILE_TOO_LARGE;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case EINVAL:
    case ESPIPE: return ERROR_INVALID_PARAMETER;
    case EIO: return ERROR_IO_DEVICE;
    case EBUSY:
    case ETXTBSY: return ERROR_BUSY;
    case EAGAIN: return ERROR_LOCK_VIOLATION;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case ENXIO:
    case ENODEV:
    case ENOMEDIUM: return ERROR_NOT_READY;
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case ENOTTY:
    case ENOSYS: return ERROR_INVALID_FUNCTION;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ECONNREFUSED: return ERROR_CONNECTION_REFUSED;
    case ECONNRESET: return ERROR_NETNAME_DELETED;
    case EHOSTUNREACH:
    case ENETUNREACH: return ERROR_HOST_UNREACHABLE;
    case EOVERFLOW: return ERROR_ARITHMETIC_OVERFLOW;
    case EFAULT: return ERROR_NOACCESS;
    default: return ERROR_GEN_FAILURE;
  }
}

DWORD PathErrnoToWin32(int error, std::string_view path) {
  if (error != ENOENT) return ErrnoToWin32(error);
  std::string dir(path);
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  auto slash = dir.rfind('/');
  if (slash == std::string::npos) return ERROR_FILE_NOT_FOUND;  // relative name: its directory is the current one
  dir.resize(slash == 0 ? 1 : slash);
  struct stat st;
  if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ERROR_FILE_NOT_FOUND;
  return ERROR_PATH_NOT_FOUND;
}

}  // namespace tarn::win32
