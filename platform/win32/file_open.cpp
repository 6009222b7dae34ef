// CreateFileA: dispositions, access, sharing and flags on Linux files;
// "\\.\" names and "\\?\" device names go to the device hook.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include "device_open.h"
#include "errno_map.h"
#include "file_object.h"
#include "handle_table.h"
#include "nt_path.h"
#include "result.h"
#include "share_access.h"
#include "winbase.h"

namespace tarn::win32 {
namespace {

unsigned AccessBitsOf(DWORD desired, DWORD flags) {
  unsigned access = 0;
  if (desired & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) access |= kAccessRead;
  if (desired & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) access |= kAccessWrite;
  // Delete-on-close asks for delete access, so later opens must share delete.
  if ((desired & (DELETE | GENERIC_ALL)) || (flags & FILE_FLAG_DELETE_ON_CLOSE)) access |= kAccessDelete;
  return access;
}

int OpenFlagsOf(unsigned access) {
  int flags = O_CLOEXEC | O_NOCTTY;
  bool read = access & kAccessRead, write = access & kAccessWrite;
  if (read && write) return flags | O_RDWR;
  if (write) return flags | O_WRONLY;
  return flags | O_RDONLY;  // no data access still needs a descriptor to stat and lock
}

struct Opened {
  int fd;
  bool existed;
};

int OpenRetrying(const char* path, int flags, mode_t mode) {
  int fd;
  do fd = open(path, flags, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// Opens or creates by disposition; says whether the file was there before.
Result<Opened> OpenByDisposition(const std::string& path, int flags, DWORD disposition, mode_t mode) {
  if (disposition == CREATE_NEW) {
    int fd = OpenRetrying(path.c_str(), flags | O_CREAT | O_EXCL, mode);
    if (fd < 0) return Result<Opened>::Fail(PathErrnoToWin32(errno, path));
    return Opened{fd, false};
  }
  bool mayCreate = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
  for (;;) {
    int fd = OpenRetrying(path.c_str(), flags, 0);
    if (fd >= 0) return Opened{fd, true};
    if (errno != ENOENT || !mayCreate) return Result<Opened>::Fail(PathErrnoToWin32(errno, path));
    fd = OpenRetrying(path.c_str(), flags | O_CREAT | O_EXCL, mode);
    if (fd >= 0) return Opened{fd, false};
    if (errno != EEXIST) return Result<Opened>::Fail(PathErrnoToWin32(errno, path));
    // Someone created it between the two calls: open what is there now.
  }
}

// A descriptor that can hold the read locks announcing this open's sharing.
int LockDescriptorFor(int fd, unsigned access, const std::string& path) {
  if (access & kAccessRead) return fd;
  // Reopen the very inode through /proc, not the name, which may have moved.
  std::string self = "/proc/self/fd/" + std::to_string(fd);
  int lockFd = OpenRetrying(self.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY, 0);
  if (lockFd < 0) lockFd = OpenRetrying(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY, 0);
  return lockFd;
}

void ApplyHints(int fd, DWORD flags) {
  if (flags & FILE_FLAG_NO_BUFFERING) {
    // Direct I/O where the file system has it; otherwise buffered, with the
    // same alignment rules checked by the file object.
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0) fcntl(fd, F_SETFL, fl | O_DIRECT);
  }
  if (flags & FILE_FLAG_RANDOM_ACCESS) posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  if (flags & FILE_FLAG_SEQUENTIAL_SCAN) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

struct FileOpen {
  std::shared_ptr<FileObject> file;
  bool existed;
};

Result<FileOpen> OpenLinuxFile(const std::string& path, unsigned access, DWORD shareMode, DWORD disposition,
                               DWORD flags) {
  int oflags = OpenFlagsOf(access);
  if (flags & FILE_FLAG_WRITE_THROUGH) oflags |= O_DSYNC;
  mode_t mode = (flags & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  auto opened = OpenByDisposition(path, oflags, disposition, mode);
  if (!opened.ok()) return Result<FileOpen>::Fail(opened.error());
  int fd = opened->fd;

  struct stat st;
  if (fstat(fd, &st) != 0) {
    DWORD error = ErrnoToWin32(errno);
    close(fd);
    return Result<FileOpen>::Fail(error);
  }
  if (S_ISDIR(st.st_mode) && !(flags & FILE_FLAG_BACKUP_SEMANTICS)) {
    close(fd);
    return Result<FileOpen>::Fail(ERROR_ACCESS_DENIED);
  }

  int lockFd = LockDescriptorFor(fd, access, path);
  DWORD error = lockFd >= 0 ? AcquireShareAccess(lockFd, access, shareMode)
                            : CheckShareAccess(fd, access, shareMode);
  // Overwriting comes only after the sharing check, so a refused open leaves
  // the file as it was.
  bool overwrite = opened->existed && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
  if (error == ERROR_SUCCESS && overwrite && S_ISREG(st.st_mode)) {
    int rc = (access & kAccessWrite) ? ftruncate(fd, 0) : truncate(path.c_str(), 0);
    if (rc != 0) error = ErrnoToWin32(errno);
  }
  if (error != ERROR_SUCCESS) {
    if (lockFd >= 0 && lockFd != fd) close(lockFd);
    close(fd);
    return Result<FileOpen>::Fail(error);
  }
  ApplyHints(fd, flags);

  FileObject::Options options;
  options.noBuffering = flags & FILE_FLAG_NO_BUFFERING;
  options.deleteOnClose = flags & FILE_FLAG_DELETE_ON_CLOSE;
  try {
    return FileOpen{std::make_shared<FileObject>(fd, lockFd, access, path, options), opened->existed};
  } catch (const std::bad_alloc&) {
    if (lockFd >= 0 && lockFd != fd) close(lockFd);
    close(fd);
    return Result<FileOpen>::Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

HANDLE Fail(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

}  // namespace
}  // namespace tarn::win32

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE /*hTemplateFile*/) {
  using namespace tarn::win32;
  if (!lpFileName) return Fail(ERROR_INVALID_PARAMETER);
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
    return Fail(ERROR_INVALID_PARAMETER);
  if (dwShareMode & ~DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
    return Fail(ERROR_INVALID_PARAMETER);
  unsigned access = AccessBitsOf(dwDesiredAccess, dwFlagsAndAttributes);
  if (dwCreationDisposition == TRUNCATE_EXISTING && !(access & kAccessWrite)) return Fail(ERROR_INVALID_PARAMETER);

  std::string_view name(lpFileName);
  if (auto deviceName = DeviceNameOf(name)) {
    DeviceOpenRequest request{*deviceName, access, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                              dwFlagsAndAttributes};
    auto device = OpenDevice(request);
    if (!device.ok()) return Fail(device.error());
    HANDLE handle = InsertHandle(std::move(device.value()));
    if (!handle) return Fail(ERROR_NO_SYSTEM_RESOURCES);
    SetLastError(ERROR_SUCCESS);
    return handle;
  }

  std::string path = LinuxPathOf(name);
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND);
  auto opened = OpenLinuxFile(path, access, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes);
  if (!opened.ok()) return Fail(opened.error());
  HANDLE handle = InsertHandle(opened->file);
  if (!handle) return Fail(ERROR_NO_SYSTEM_RESOURCES);
  bool reportsExisting = dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS;
  SetLastError(reportsExisting && opened->existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}
