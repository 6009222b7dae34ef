// A value that can only be reached with its mutex held.
#pragma once

#include <mutex>
#include <utility>

namespace tarn::nt {

template <class T>
class Protected {
 public:
  class Guard {
   public:
    Guard(std::mutex& m, T& v) : lock_(m), value_(v) {}
    T* operator->() { return &value_; }
    T& operator*() { return value_; }

   private:
    std::unique_lock<std::mutex> lock_;
    T& value_;
  };

  template <class... Args>
  explicit Protected(Args&&... args) : value_(std::forward<Args>(args)...) {}

  Guard lock() { return Guard(mutex_, value_); }

 private:
  std::mutex mutex_;
  T value_;
};

}  // namespace tarn::nt
