// Large reads of a backing file copied out of the page cache by two threads:
// the caller reads the first half while a helper thread reads the second.
// A disk would move the bytes by DMA; here the copy is CPU work, and a read
// window of the machine is otherwise copied by one core while the other
// waits for it.
#pragma once

#include <cstdint>

#include <sys/types.h>

namespace tarn::host {

// Below this a read is not split: the hand-off would cost more than it saves.
inline constexpr uint32_t kSplitReadMinimum = 512u * 1024;

// Reads exactly `length` bytes at `offset` unless the file ends or fails;
// returns the bytes read in a row from the start (a short first half hides
// the second) and sets *error to the errno of a failure (0 when none).
uint32_t SplitPread(int fd, uint8_t* buffer, uint32_t length, uint64_t offset, int* error);

}  // namespace tarn::host
