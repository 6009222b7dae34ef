// The views MapViewOfFile handed out in this process, so UnmapViewOfFile
// knows their lengths and SetEndOfFile can refuse to cut a mapped file.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>

#include "kernel_object.h"
#include "protected.h"

namespace tarn::win32 {

class MappedViews {
 public:
  struct View {
    size_t length = 0;
    dev_t device = 0;
    ino_t inode = 0;
    uint64_t fileEnd = 0;  // file offset just past the view
  };

  static MappedViews& Instance();

  void Add(void* base, const View& view);
  // The view containing `address`, taken out of the record with its base.
  std::optional<std::pair<void*, View>> Take(const void* address);
  // The view containing `address`, left in place.
  std::optional<std::pair<void*, View>> Find(const void* address);
  // Whether a view of the file reaches beyond `size`.
  bool Covers(dev_t device, ino_t inode, uint64_t size);

 private:
  Protected<std::map<uintptr_t, View>> views_;
};

}  // namespace tarn::win32
