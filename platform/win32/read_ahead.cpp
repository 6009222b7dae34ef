#include "platform/win32/read_ahead.h"

#include <algorithm>

namespace tarn::win32 {

uint64_t ReadAheadWindow::FillSize(uint64_t offset, uint64_t length, uint64_t limit) const {
    limit -= limit % kBlock;
    if (offset != lastReadEnd_ || !Aligned(offset, length)) return 0;
    // Reads that used up the last window to its end ask for a larger one.
    uint64_t size = size_ != 0 && offset == end_ ? size_ * 2 : kFirstWindow;
    size = std::min(size, limit);
    // A window that could not hold the read twice gains nothing.
    return length <= size / 2 ? size : 0;
}

void ReadAheadWindow::Filled(uint64_t offset, uint64_t length, uint64_t generation) {
    valid_ = length > 0 && offset <= UINT64_MAX - length;
    size_ = valid_ ? length : 0;
    start_ = next_ = offset;
    end_ = valid_ ? offset + length : offset;
    generation_ = generation;
}

std::optional<size_t> ReadAheadWindow::Take(uint64_t offset, uint64_t length, uint64_t currentGeneration) {
    if (!valid_ || offset != next_ || !Aligned(offset, length) || length > end_ - offset) return std::nullopt;
    if (currentGeneration != generation_) {
        valid_ = false;
        return std::nullopt;
    }
    next_ = offset + length;
    lastReadEnd_ = next_;
    if (next_ == end_) valid_ = false;
    return static_cast<size_t>(offset - start_);
}

void ReadAheadWindow::NoteRead(uint64_t offset, uint64_t done) {
    // It went through the shared buffer, over the window's bytes.
    valid_ = false;
    lastReadEnd_ = done > 0 && offset <= UINT64_MAX - done ? offset + done : kNoOffset;
}

void ReadAheadWindow::Invalidate() {
    valid_ = false;
    size_ = 0;
    lastReadEnd_ = kNoOffset;
}

}  // namespace tarn::win32
