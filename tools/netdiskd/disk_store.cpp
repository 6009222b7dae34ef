#include "disk_store.h"

namespace netdiskd {

bool RangeInside(uint64_t Offset, uint32_t Count, int64_t Size) {
  if (Size < 0) return false;
  auto size = uint64_t(Size);
  return Offset <= size && Count <= size - Offset;
}

}  // namespace netdiskd
