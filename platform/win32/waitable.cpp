#include "waitable.h"

#include "winbase.h"

namespace tarn::win32 {

void Waitable::SetSignalled(bool signalled) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    signalled_ = signalled;
  }
  // Every waiter looks; of an auto-reset object's waiters the first to take
  // the lock consumes the signal and the others wait on. (Waking only one
  // could pick a waiter that is just timing out.)
  if (signalled) changed_.notify_all();
}

DWORD Waitable::Wait(DWORD milliseconds) {
  std::unique_lock<std::mutex> guard(lock_);
  auto ready = [this] { return signalled_; };
  if (milliseconds == INFINITE) {
    changed_.wait(guard, ready);
  } else if (!changed_.wait_for(guard, std::chrono::milliseconds(milliseconds), ready)) {
    return WAIT_TIMEOUT;
  }
  if (autoReset_) signalled_ = false;
  return WAIT_OBJECT_0;
}

}  // namespace tarn::win32
