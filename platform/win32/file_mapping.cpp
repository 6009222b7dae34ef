// File mappings: a section object over a file (or anonymous memory) and the
// views mapped from it.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "errno_map.h"
#include "file_object.h"
#include "handle_table.h"
#include "mapped_views.h"
#include "winbase.h"

namespace tarn::win32 {
namespace {

// Windows aligns view offsets to its allocation granularity.
constexpr uint64_t kAllocationGranularity = 64 * 1024;

class SectionObject final : public KernelObject {
 public:
  // Owns fd (its own duplicate, so the section outlives the file handle).
  SectionObject(int fd, uint64_t size, bool writable) : fd_(fd), size_(size), writable_(writable) {
    struct stat st;
    if (fstat(fd_, &st) == 0) {
      device_ = st.st_dev;
      inode_ = st.st_ino;
    }
  }
  ~SectionObject() override { close(fd_); }

  int fd() const { return fd_; }
  uint64_t size() const { return size_; }
  bool writable() const { return writable_; }
  dev_t device() const { return device_; }
  ino_t inode() const { return inode_; }

 private:
  const int fd_;
  const uint64_t size_;
  const bool writable_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

HANDLE Fail(DWORD error) {
  SetLastError(error);
  return nullptr;  // CreateFileMapping fails with NULL, not INVALID_HANDLE_VALUE
}

}  // namespace
}  // namespace tarn::win32

using namespace tarn::win32;

extern "C" HANDLE WINAPI CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES, DWORD flProtect,
                                           DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCSTR lpName) {
  if (lpName) return Fail(ERROR_NOT_SUPPORTED);  // FIXME: named sections shared between processes
  DWORD protection = flProtect & 0xFF;
  DWORD section = flProtect & ~DWORD(0xFF);
  if (section & ~DWORD(SEC_COMMIT)) return Fail(ERROR_NOT_SUPPORTED);
  bool writable;
  if (protection == PAGE_READWRITE) writable = true;
  else if (protection == PAGE_READONLY) writable = false;
  else return Fail(ERROR_INVALID_PARAMETER);
  uint64_t size = (uint64_t(dwMaximumSizeHigh) << 32) | dwMaximumSizeLow;

  int fd;
  if (hFile == INVALID_HANDLE_VALUE) {
    // Backed by memory only.
    if (size == 0) return Fail(ERROR_INVALID_PARAMETER);
    fd = memfd_create("section", MFD_CLOEXEC);
    if (fd < 0) return Fail(ErrnoToWin32(errno));
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
      DWORD error = ErrnoToWin32(errno);
      close(fd);
      return Fail(error);
    }
  } else {
    auto file = LookupHandleAs<FileObject>(hFile);
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    if (!(file->access() & kAccessRead) || (writable && !(file->access() & kAccessWrite)))
      return Fail(ERROR_ACCESS_DENIED);
    struct stat st;
    if (fstat(file->fd(), &st) != 0) return Fail(ErrnoToWin32(errno));
    uint64_t fileSize = static_cast<uint64_t>(st.st_size);
    if (size == 0) {
      if (fileSize == 0) return Fail(ERROR_FILE_INVALID);  // nothing to map
      size = fileSize;
    }
    if (size > fileSize) {
      // A writable section grows its file; a read-only one cannot.
      if (!writable) return Fail(ERROR_NOT_ENOUGH_MEMORY);
      if (ftruncate(file->fd(), static_cast<off_t>(size)) != 0) return Fail(ErrnoToWin32(errno));
    }
    fd = fcntl(file->fd(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return Fail(ErrnoToWin32(errno));
  }
  std::shared_ptr<SectionObject> object;
  try {
    object = std::make_shared<SectionObject>(fd, size, writable);
  } catch (const std::bad_alloc&) {
    close(fd);
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  HANDLE handle = InsertHandle(object);
  if (!handle) return Fail(ERROR_NO_SYSTEM_RESOURCES);
  SetLastError(ERROR_SUCCESS);
  return handle;
}

extern "C" LPVOID WINAPI MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                                       DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap) {
  auto section = LookupHandleAs<SectionObject>(hFileMappingObject);
  if (!section) return Fail(ERROR_INVALID_HANDLE);
  bool copy = dwDesiredAccess & FILE_MAP_COPY;
  bool write = (dwDesiredAccess & FILE_MAP_WRITE) && !copy;
  if (write && !section->writable()) return Fail(ERROR_ACCESS_DENIED);
  uint64_t offset = (uint64_t(dwFileOffsetHigh) << 32) | dwFileOffsetLow;
  if (offset % kAllocationGranularity) return Fail(ERROR_MAPPED_ALIGNMENT);
  if (offset > section->size()) return Fail(ERROR_ACCESS_DENIED);
  uint64_t length = dwNumberOfBytesToMap ? dwNumberOfBytesToMap : section->size() - offset;
  if (length == 0 || length > section->size() - offset) return Fail(ERROR_ACCESS_DENIED);

  int protection = PROT_READ | (write || copy ? PROT_WRITE : 0);
  void* base = mmap(nullptr, length, protection, copy ? MAP_PRIVATE : MAP_SHARED, section->fd(),
                    static_cast<off_t>(offset));
  if (base == MAP_FAILED) return Fail(ErrnoToWin32(errno));
  MappedViews::View view;
  view.length = length;
  view.device = section->device();
  view.inode = section->inode();
  view.fileEnd = offset + length;
  MappedViews::Instance().Add(base, view);
  return base;
}

extern "C" BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress) {
  auto view = MappedViews::Instance().Take(lpBaseAddress);
  if (!view) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  munmap(view->first, view->second.length);
  return TRUE;
}

extern "C" BOOL WINAPI FlushViewOfFile(LPCVOID lpBaseAddress, SIZE_T dwNumberOfBytesToFlush) {
  auto view = MappedViews::Instance().Find(lpBaseAddress);
  if (!view) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  auto base = reinterpret_cast<uintptr_t>(view->first);
  auto end = base + view->second.length;
  auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  auto from = reinterpret_cast<uintptr_t>(lpBaseAddress) & ~(page - 1);
  auto to = dwNumberOfBytesToFlush ? reinterpret_cast<uintptr_t>(lpBaseAddress) + dwNumberOfBytesToFlush : end;
  if (to > end) to = end;
  if (msync(reinterpret_cast<void*>(from), to - from, MS_SYNC) != 0) {
    SetLastError(ErrnoToWin32(errno));
    return FALSE;
  }
  return TRUE;
}
