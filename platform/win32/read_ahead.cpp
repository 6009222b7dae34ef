#include "platform/win32/read_ahead.h"

namespace tarn::win32 {

bool ReadAheadWindow::ShouldFill(uint64_t offset, uint64_t length, uint64_t windowSize) const {
    // A window that could not hold the read twice gains nothing.
    return offset == lastReadEnd_ && Aligned(offset, length) && length * 2 <= windowSize &&
           windowSize % kBlock == 0;
}

void ReadAheadWindow::Filled(uint64_t offset, uint64_t length, uint64_t generation) {
    valid_ = length > 0 && offset <= UINT64_MAX - length;
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
    lastReadEnd_ = kNoOffset;
}

}  // namespace tarn::win32
