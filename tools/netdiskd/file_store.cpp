// A disk kept in a local file (or block device): positioned reads and writes,
// so connection threads never share a file position.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <linux/fs.h>

#include <cerrno>
#include <cstring>

#include "disk_store.h"

namespace netdiskd {

namespace {

class FileStore final : public DiskStore {
 public:
  FileStore(int Fd, int64_t Size, bool ReadOnly) : fd_(Fd), size_(Size), readOnly_(ReadOnly) {}
  ~FileStore() override { close(fd_); }

  int64_t Size() const override { return size_; }
  bool ReadOnly() const override { return readOnly_; }

  bool Read(uint64_t Offset, uint32_t Count, uint8_t* Data, std::string* Error) override {
    size_t done = 0;
    while (done < Count) {
      ssize_t n = pread(fd_, Data + done, Count - done, off_t(Offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Fail(Error, "read", errno);
      if (n == 0) {
        // The file shrank under us: the missing part reads as zeros.
        memset(Data + done, 0, Count - done);
        break;
      }
      done += size_t(n);
    }
    return true;
  }

  bool Write(uint64_t Offset, uint32_t Count, const uint8_t* Data, std::string* Error) override {
    if (readOnly_) {
      *Error = "the disk is served read-only";
      return false;
    }
    size_t done = 0;
    while (done < Count) {
      ssize_t n = pwrite(fd_, Data + done, Count - done, off_t(Offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Fail(Error, "write", n < 0 ? errno : EIO);
      done += size_t(n);
    }
    return true;
  }

 private:
  static bool Fail(std::string* Error, const char* What, int Errno) {
    *Error = std::string(What) + " failed: " + strerror(Errno);
    return false;
  }

  int fd_;
  int64_t size_;
  bool readOnly_;
};

}  // namespace

std::unique_ptr<DiskStore> OpenFileStore(const std::string& Path, bool ReadOnly, std::string* Error) {
  int fd = open(Path.c_str(), (ReadOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
  if (fd < 0) {
    *Error = "cannot open " + Path + ": " + strerror(errno);
    return nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *Error = "cannot stat " + Path + ": " + strerror(errno);
    close(fd);
    return nullptr;
  }
  int64_t size = st.st_size;
  if (S_ISBLK(st.st_mode)) {
    uint64_t bytes = 0;
    if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) {
      *Error = "cannot read the size of " + Path + ": " + strerror(errno);
      close(fd);
      return nullptr;
    }
    size = int64_t(bytes);
  } else if (!S_ISREG(st.st_mode)) {
    *Error = Path + " is neither a file nor a block device";
    close(fd);
    return nullptr;
  }
  if (size <= 0) {
    *Error = Path + " is empty: there is no disk to serve";
    close(fd);
    return nullptr;
  }
  return std::make_unique<FileStore>(fd, size, ReadOnly);
}

}  // namespace netdiskd
