#include "share_access.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "errno_map.h"
#include "winerror.h"

namespace tarn::win32 {
namespace {

// Six bytes at the top of the offset range: three "holds access" bytes and
// three "denies sharing" bytes, in the order read, write, delete.
constexpr off_t kLockBase = INT64_MAX - 15;
constexpr off_t AccessByte(int bit) { return kLockBase + bit; }
constexpr off_t DenyByte(int bit) { return kLockBase + 3 + bit; }
constexpr int kBits = 3;

bool LocksUnsupported(int error) { return error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS; }

// Whether another open file description holds a lock on the byte; errno on failure.
int Held(int fd, off_t offset, bool* held) {
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = offset;
  probe.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &probe) != 0) return errno;
  *held = probe.l_type != F_UNLCK;
  return 0;
}

int SetLock(int fd, short type, off_t offset, off_t length) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = offset;
  lock.l_len = length;
  while (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

void Withdraw(int fd) { SetLock(fd, F_UNLCK, kLockBase, 2 * kBits); }

int Announce(int fd, unsigned access, unsigned denied) {
  for (int bit = 0; bit < kBits; ++bit) {
    if (access & (1u << bit))
      if (int e = SetLock(fd, F_RDLCK, AccessByte(bit), 1)) return e;
    if (denied & (1u << bit))
      if (int e = SetLock(fd, F_RDLCK, DenyByte(bit), 1)) return e;
  }
  return 0;
}

// errno of a failed probe, or ERROR_SHARING_VIOLATION as a negative number.
constexpr int kConflict = -1;

int FindConflict(int fd, unsigned access, unsigned denied) {
  for (int bit = 0; bit < kBits; ++bit) {
    bool held = false;
    if (access & (1u << bit)) {
      if (int e = Held(fd, DenyByte(bit), &held)) return e;
      if (held) return kConflict;
    }
    if (denied & (1u << bit)) {
      if (int e = Held(fd, AccessByte(bit), &held)) return e;
      if (held) return kConflict;
    }
  }
  return 0;
}

}  // namespace

DWORD CheckShareAccess(int fd, unsigned access, unsigned shareMode) {
  int result = FindConflict(fd, access & 7u, ~shareMode & 7u);
  if (result == kConflict) return ERROR_SHARING_VIOLATION;
  if (result == 0 || LocksUnsupported(result)) return ERROR_SUCCESS;
  return ErrnoToWin32(result);
}

DWORD AcquireShareAccess(int lockFd, unsigned access, unsigned shareMode) {
  access &= 7u;
  if (access == 0) return ERROR_SUCCESS;  // opens without data access take part in no sharing check
  unsigned denied = ~shareMode & 7u;
  // A conflict seen right after announcing may be a racing open that will
  // withdraw; look again a few times before calling it a violation.
  for (int attempt = 0;; ++attempt) {
    int result = Announce(lockFd, access, denied);
    if (result == 0) result = FindConflict(lockFd, access, denied);
    if (result == 0) return ERROR_SUCCESS;
    Withdraw(lockFd);
    if (result != kConflict) return LocksUnsupported(result) ? ERROR_SUCCESS : ErrnoToWin32(result);
    if (attempt == 2) return ERROR_SHARING_VIOLATION;
    struct timespec pause = {0, (1 + attempt + getpid() % 3) * 500000L};
    nanosleep(&pause, nullptr);
  }
}

}  // namespace tarn::win32
