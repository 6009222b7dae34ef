// Data that a mutex guards, reachable only while holding it.
#pragma once

#include <mutex>
#include <utility>

namespace tarn::win32 {

template <class T>
class Protected {
 public:
  template <class... Args>
  explicit Protected(Args&&... args) : value_(std::forward<Args>(args)...) {}

  class Locked {
   public:
    Locked(std::mutex& m, T& v) : guard_(m), value_(v) {}
    T* operator->() { return &value_; }
    T& operator*() { return value_; }

   private:
    std::lock_guard<std::mutex> guard_;
    T& value_;
  };

  Locked Lock() { return Locked(mutex_, value_); }

 private:
  std::mutex mutex_;
  T value_;
};

}  // namespace tarn::win32
