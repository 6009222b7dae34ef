#include "file_object.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "errno_map.h"
#include "mapped_views.h"
#include "winbase.h"
#include "winioctl.h"

namespace tarn::win32 {

FileObject::FileObject(int fd, int lockFd, unsigned access, std::string path, Options options)
    : IoObject(access), fd_(fd), lockFd_(lockFd), path_(std::move(path)), options_(options) {
  struct stat st;
  if (fstat(fd_, &st) == 0) {
    device_ = st.st_dev;
    inode_ = st.st_ino;
  }
}

FileObject::~FileObject() {
  if (options_.deleteOnClose) {
    // Only the file this handle opened: the name may have been reused since.
    struct stat st;
    if (lstat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_) unlink(path_.c_str());
  }
  if (lockFd_ >= 0 && lockFd_ != fd_) close(lockFd_);
  close(fd_);
}

DWORD FileObject::CheckAlignment(uint64_t offset, const void* buffer, DWORD length) const {
  if (!options_.noBuffering) return ERROR_SUCCESS;
  if (offset % kSectorSize || length % kSectorSize || reinterpret_cast<uintptr_t>(buffer) % kSectorSize)
    return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

bool FileObject::DropDirectIo() {
  int flags = fcntl(fd_, F_GETFL);
  if (flags < 0 || !(flags & O_DIRECT)) return false;
  return fcntl(fd_, F_SETFL, flags & ~O_DIRECT) == 0;
}

DWORD FileObject::ReadAt(uint64_t offset, void* buffer, DWORD length, DWORD* done) {
  if (DWORD error = CheckAlignment(offset, buffer, length)) return error;
  auto* p = static_cast<char*>(buffer);
  while (*done < length) {
    ssize_t n = pread(fd_, p + *done, length - *done, static_cast<off_t>(offset + *done));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EINVAL && DropDirectIo()) continue;
      return ErrnoToWin32(errno);
    }
    if (n == 0) break;  // end of file: a short read, still a success
    *done += static_cast<DWORD>(n);
  }
  return ERROR_SUCCESS;
}

DWORD FileObject::WriteAt(uint64_t offset, const void* buffer, DWORD length, DWORD* done) {
  if (DWORD error = CheckAlignment(offset, buffer, length)) return error;
  auto* p = static_cast<const char*>(buffer);
  while (*done < length) {
    ssize_t n = pwrite(fd_, p + *done, length - *done, static_cast<off_t>(offset + *done));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EINVAL && DropDirectIo()) continue;
      return ErrnoToWin32(errno);
    }
    if (n == 0) return ERROR_DISK_FULL;
    *done += static_cast<DWORD>(n);
  }
  return ERROR_SUCCESS;
}

DWORD FileObject::QuerySize(uint64_t* size) {
  struct stat st;
  if (fstat(fd_, &st) != 0) return ErrnoToWin32(errno);
  if (S_ISBLK(st.st_mode)) {
    uint64_t bytes = 0;
    if (ioctl(fd_, BLKGETSIZE64, &bytes) != 0) return ErrnoToWin32(errno);
    *size = bytes;
    return ERROR_SUCCESS;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return ERROR_SUCCESS;
}

DWORD FileObject::Truncate(uint64_t size) {
  // Cutting a file below a view of this process would make touching the view
  // a crash (SIGBUS); Windows refuses this case too.
  if (MappedViews::Instance().Covers(device_, inode_, size)) return ERROR_USER_MAPPED_FILE;
  if (ftruncate(fd_, static_cast<off_t>(size)) != 0) return ErrnoToWin32(errno);
  return ERROR_SUCCESS;
}

DWORD FileObject::Sync() {
  // The data and what reading it back needs (size, allocation); flushing the
  // timestamps too would cost a file-system journal commit on every flush.
  while (fdatasync(fd_) != 0) {
    if (errno != EINTR) return ErrnoToWin32(errno);
  }
  return ERROR_SUCCESS;
}

DWORD FileObject::IoControl(DWORD code, const void*, DWORD, void*, DWORD, DWORD* returned) {
  *returned = 0;
  switch (code) {
    case FSCTL_SET_SPARSE:
      // Linux files are sparse already: unwritten ranges take no space.
      return ERROR_SUCCESS;
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

}  // namespace tarn::win32
