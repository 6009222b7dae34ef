#include "io_object.h"

#include "winbase.h"

namespace tarn::win32 {

DWORD IoObject::Read(void* buffer, DWORD length, std::optional<uint64_t> offset, DWORD* done) {
  *done = 0;
  if (!(access_ & kAccessRead)) return ERROR_ACCESS_DENIED;
  std::lock_guard<std::mutex> guard(transferLock_);
  uint64_t at = offset.value_or(position_);
  DWORD error = length ? ReadAt(at, buffer, length, done) : ERROR_SUCCESS;
  position_ = at + *done;
  return error;
}

DWORD IoObject::Write(const void* buffer, DWORD length, std::optional<uint64_t> offset, DWORD* done) {
  *done = 0;
  if (!(access_ & kAccessWrite)) return ERROR_ACCESS_DENIED;
  std::lock_guard<std::mutex> guard(transferLock_);
  uint64_t at = offset.value_or(position_);
  DWORD error = length ? WriteAt(at, buffer, length, done) : ERROR_SUCCESS;
  position_ = at + *done;
  return error;
}

DWORD IoObject::Seek(int64_t distance, DWORD method, uint64_t* newPosition) {
  std::lock_guard<std::mutex> guard(transferLock_);
  int64_t base;
  switch (method) {
    case FILE_BEGIN: base = 0; break;
    case FILE_CURRENT: base = static_cast<int64_t>(position_); break;
    case FILE_END: {
      uint64_t size;
      if (DWORD error = QuerySize(&size)) return error;
      base = static_cast<int64_t>(size);
      break;
    }
    default: return ERROR_INVALID_PARAMETER;
  }
  int64_t target;
  if (__builtin_add_overflow(base, distance, &target)) return ERROR_INVALID_PARAMETER;
  if (target < 0) return ERROR_NEGATIVE_SEEK;
  position_ = static_cast<uint64_t>(target);
  if (newPosition) *newPosition = position_;
  return ERROR_SUCCESS;
}

DWORD IoObject::GetSize(uint64_t* size) { return QuerySize(size); }

DWORD IoObject::SetEndOfFileHere() {
  if (!(access_ & kAccessWrite)) return ERROR_ACCESS_DENIED;
  std::lock_guard<std::mutex> guard(transferLock_);
  return Truncate(position_);
}

DWORD IoObject::Flush() {
  if (!(access_ & kAccessWrite)) return ERROR_ACCESS_DENIED;
  return Sync();
}

}  // namespace tarn::win32
