// A thread made by CreateThread: a real thread whose handle is signalled
// when it ends and which keeps its exit code.
#pragma once

#include <atomic>

#include "waitable.h"
#include "winbase.h"

namespace tarn::win32 {

class ThreadObject final : public Waitable {
 public:
  ThreadObject() : Waitable(false, false) {}

  DWORD exitCode() const { return exitCode_.load(); }
  DWORD threadId() const { return threadId_.load(); }

  // Runs on the new thread, from start to end.
  void Run(LPTHREAD_START_ROUTINE start, LPVOID parameter);

 private:
  std::atomic<DWORD> exitCode_{STILL_ACTIVE};
  std::atomic<DWORD> threadId_{0};
};

}  // namespace tarn::win32
