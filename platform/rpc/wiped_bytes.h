// The byte buffers of the RPC runtime. Calls carry passwords, so a buffer
// that held a call's bytes is wiped before its memory goes back to the heap:
// no copy of a request or a reply outlives it in freed memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <string.h>

namespace tarn::rpc {

template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) {}
  T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, size_t n) {
    explicit_bzero(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }
  template <class U>
  bool operator==(const WipingAllocator<U>&) const { return true; }
  template <class U>
  bool operator!=(const WipingAllocator<U>&) const { return false; }
};

using WipedBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;

}  // namespace tarn::rpc
