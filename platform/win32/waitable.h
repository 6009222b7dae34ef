// Objects WaitForSingleObject accepts: events and threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "kernel_object.h"
#include "windef.h"

namespace tarn::win32 {

class Waitable : public KernelObject {
 public:
  // WAIT_OBJECT_0 once signalled (consuming the signal of an auto-reset
  // object), WAIT_TIMEOUT when `milliseconds` pass first; INFINITE waits for ever.
  DWORD Wait(DWORD milliseconds);

 protected:
  explicit Waitable(bool autoReset, bool signalled) : autoReset_(autoReset), signalled_(signalled) {}
  void SetSignalled(bool signalled);

 private:
  const bool autoReset_;
  std::mutex lock_;  // guards signalled_
  std::condition_variable changed_;
  bool signalled_;
};

class EventObject final : public Waitable {
 public:
  EventObject(bool manualReset, bool initialState) : Waitable(!manualReset, initialState) {}
  void Set() { SetSignalled(true); }
  void Reset() { SetSignalled(false); }
};

}  // namespace tarn::win32
