// A handle on a Linux file (or block device) opened by CreateFileA.
#pragma once

#include <sys/types.h>

#include <string>

#include "io_object.h"

namespace tarn::win32 {

class FileObject final : public IoObject {
 public:
  struct Options {
    bool noBuffering = false;    // transfers must be whole, aligned sectors
    bool deleteOnClose = false;  // the name goes when the handle does
  };

  // Takes ownership of both descriptors; lockFd may be -1 or equal to fd.
  FileObject(int fd, int lockFd, unsigned access, std::string path, Options options);
  ~FileObject() override;

  int fd() const { return fd_; }
  DWORD IoControl(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
                  DWORD* returned) override;

  // Unbuffered transfers are checked against this, as Windows checks them
  // against the volume's sector size.
  static constexpr DWORD kSectorSize = 512;

 protected:
  DWORD ReadAt(uint64_t offset, void* buffer, DWORD length, DWORD* done) override;
  DWORD WriteAt(uint64_t offset, const void* buffer, DWORD length, DWORD* done) override;
  DWORD QuerySize(uint64_t* size) override;
  DWORD Truncate(uint64_t size) override;
  DWORD Sync() override;

 private:
  DWORD CheckAlignment(uint64_t offset, const void* buffer, DWORD length) const;
  // The file system refused direct I/O for this transfer: fall back to the
  // page cache for the rest of the handle's life.
  bool DropDirectIo();

  const int fd_;
  const int lockFd_;
  const std::string path_;
  const Options options_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace tarn::win32
