// Data that is reachable only through its lock.
#pragma once

#include <mutex>
#include <utility>

namespace tarn::rpc {

template <typename T>
class Protected {
 public:
  class Locked {
   public:
    Locked(std::mutex& m, T& v) : lock_(m), value_(&v) {}
    T* operator->() { return value_; }
    T& operator*() { return *value_; }
    // For condition variables.
    std::unique_lock<std::mutex>& Lock() { return lock_; }

   private:
    std::unique_lock<std::mutex> lock_;
    T* value_;
  };

  template <typename... A>
  explicit Protected(A&&... args) : value_(std::forward<A>(args)...) {}

  Locked Lock() { return Locked(mutex_, value_); }

 private:
  std::mutex mutex_;
  T value_;
};

}  // namespace tarn::rpc
