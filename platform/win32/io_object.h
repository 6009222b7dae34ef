// The interface of every handle that ReadFile, WriteFile, SetFilePointer,
// GetFileSizeEx, SetEndOfFile, FlushFileBuffers and DeviceIoControl accept:
// Linux files now, the machine's devices ("\\.\X:") later. The file pointer
// and access checks live here, so a new kind only supplies positioned
// transfers and its control codes.
//
// Contract: every method returns a Win32 error code (ERROR_SUCCESS on
// success). Transfers on one handle are serialised, as on a synchronous
// Windows file object; different handles proceed in parallel.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "kernel_object.h"
#include "windef.h"

namespace tarn::win32 {

// The data access a handle was granted, in the bit layout of FILE_SHARE_*.
enum AccessBits : unsigned {
  kAccessRead = 1,
  kAccessWrite = 2,
  kAccessDelete = 4,
};

class IoObject : public KernelObject {
 public:
  explicit IoObject(unsigned access) : access_(access) {}

  // At `offset` when given (OVERLAPPED), else at the file pointer; the file
  // pointer ends after the bytes moved either way.
  DWORD Read(void* buffer, DWORD length, std::optional<uint64_t> offset, DWORD* done);
  DWORD Write(const void* buffer, DWORD length, std::optional<uint64_t> offset, DWORD* done);
  // method is FILE_BEGIN, FILE_CURRENT or FILE_END.
  DWORD Seek(int64_t distance, DWORD method, uint64_t* newPosition);
  DWORD GetSize(uint64_t* size);
  DWORD SetEndOfFileHere();
  DWORD Flush();
  virtual DWORD IoControl(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
                          DWORD* returned) = 0;

  unsigned access() const { return access_; }

 protected:
  // Short counts are allowed only at the end of the data (reads).
  virtual DWORD ReadAt(uint64_t offset, void* buffer, DWORD length, DWORD* done) = 0;
  virtual DWORD WriteAt(uint64_t offset, const void* buffer, DWORD length, DWORD* done) = 0;
  virtual DWORD QuerySize(uint64_t* size) = 0;
  virtual DWORD Truncate(uint64_t size) = 0;
  virtual DWORD Sync() = 0;

 private:
  const unsigned access_;
  std::mutex transferLock_;  // guards position_ and orders transfers on this handle
  uint64_t position_ = 0;
};

}  // namespace tarn::win32
