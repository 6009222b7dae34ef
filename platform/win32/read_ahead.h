// The read-ahead window of one device handle: which bytes of the handle's
// shared buffer hold the volume at which offset, taken at which write
// generation, and whether the handle reads sequentially enough to fill one.
//
// Rules that keep a read served from the window identical to the request it
// replaces: only whole 4 KiB blocks at 4 KiB offsets (so any sector size the
// device has would accept the request), only inside the bytes the host
// returned (the end of the medium and errors are left to the host), only in
// order and each byte once, and only while the volume's generation is the one
// the host saw before it read the window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tarn::win32 {

class ReadAheadWindow {
public:
    static constexpr uint64_t kBlock = 4096;
    static constexpr uint64_t kNoOffset = UINT64_MAX;
    static constexpr uint64_t kFirstWindow = 256 * 1024;

    // How much a read at offset should fill: kFirstWindow, doubled for every
    // window in a row that the reads used up (a short sequential scan reads
    // little ahead, a long one amortises its round trips), at most limit.
    // Zero when it should not fill: the read must continue the handle's
    // previous one with no write or control between, and fit twice.
    uint64_t FillSize(uint64_t offset, uint64_t length, uint64_t limit) const;
    // The host returned length bytes at offset, read at generation.
    void Filled(uint64_t offset, uint64_t length, uint64_t generation);
    // Where in the shared buffer the read's bytes are, when the window holds
    // them and is still current; consumes them.
    std::optional<size_t> Take(uint64_t offset, uint64_t length, uint64_t currentGeneration);
    // A read that went to the host (through the shared buffer, so the window
    // is gone) moved done bytes at offset.
    void NoteRead(uint64_t offset, uint64_t done);
    // A write, a control request or another use of the shared buffer: the
    // window is gone and the next read does not count as sequential.
    void Invalidate();
    bool Valid() const { return valid_; }

private:
    static bool Aligned(uint64_t offset, uint64_t length) {
        return length != 0 && offset % kBlock == 0 && length % kBlock == 0;
    }

    bool valid_ = false;
    uint64_t start_ = 0;      // offset of the window's first byte
    uint64_t end_ = 0;        // offset after its last byte
    uint64_t next_ = 0;       // the only offset a read may take from it next
    uint64_t generation_ = 0;
    uint64_t lastReadEnd_ = kNoOffset;
    uint64_t size_ = 0;  // of the current or last window; 0 after Invalidate
};

}  // namespace tarn::win32
