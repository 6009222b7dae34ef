// Page-aligned buffers for unbuffered volume I/O, which wants sector-aligned
// memory; freed when the owner goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

struct AlignedFree {
    void operator()(uint8_t* p) const { std::free(p); }
};
using AlignedBuffer = std::unique_ptr<uint8_t, AlignedFree>;

// Null when memory is short.
inline AlignedBuffer AllocateAligned(size_t bytes) {
    return AlignedBuffer(static_cast<uint8_t*>(std::aligned_alloc(4096, (bytes + 4095) / 4096 * 4096)));
}
