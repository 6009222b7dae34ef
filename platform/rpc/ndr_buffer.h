// Little-endian byte buffers with NDR alignment, counted from the start of the
// buffer (the start of the stub data, or of the PDU for headers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>
#include "platform/rpc/wiped_bytes.h"

namespace tarn::rpc {

class NdrWriter {
 public:
  void Align(size_t n) {
    while (buf_.size() % n != 0) buf_.push_back(0);
  }
  void U8(uint8_t v) { buf_.push_back(v); }
  void U16(uint16_t v) {
    U8(static_cast<uint8_t>(v));
    U8(static_cast<uint8_t>(v >> 8));
  }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v));
    U16(static_cast<uint16_t>(v >> 16));
  }
  void U64(uint64_t v) {
    U32(static_cast<uint32_t>(v));
    U32(static_cast<uint32_t>(v >> 32));
  }
  void Bytes(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    buf_.insert(buf_.end(), b, b + n);
  }
  void PatchU16(size_t at, uint16_t v) {
    buf_[at] = static_cast<uint8_t>(v);
    buf_[at + 1] = static_cast<uint8_t>(v >> 8);
  }
  size_t Size() const { return buf_.size(); }
  WipedBytes& Data() { return buf_; }
  WipedBytes Take() { return std::move(buf_); }

 private:
  WipedBytes buf_;
};

// Every read is bounds-checked; a failed read leaves the reader failed, so a
// decoder may check once at the end of a group of reads.
class NdrReader {
 public:
  NdrReader(const uint8_t* p, size_t n) : p_(p), n_(n) {}

  bool Align(size_t a) {
    size_t pad = (a - off_ % a) % a;
    return Skip(pad);
  }
  bool Skip(size_t k) {
    if (!ok_ || k > n_ - off_) return Fail();
    off_ += k;
    return true;
  }
  bool U8(uint8_t& v) {
    const uint8_t* b = Take(1);
    if (!b) return false;
    v = b[0];
    return true;
  }
  bool U16(uint16_t& v) {
    const uint8_t* b = Take(2);
    if (!b) return false;
    v = static_cast<uint16_t>(b[0] | (b[1] << 8));
    return true;
  }
  bool U32(uint32_t& v) {
    const uint8_t* b = Take(4);
    if (!b) return false;
    v = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
        (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
    return true;
  }
  bool U64(uint64_t& v) {
    uint32_t lo = 0, hi = 0;
    if (!U32(lo) || !U32(hi)) return false;
    v = (static_cast<uint64_t>(hi) << 32) | lo;
    return true;
  }
  // Returns a pointer to the next k bytes, or null when fewer remain.
  const uint8_t* Take(size_t k) {
    if (!ok_ || k > n_ - off_) {
      Fail();
      return nullptr;
    }
    const uint8_t* b = p_ + off_;
    off_ += k;
    return b;
  }
  bool Ok() const { return ok_; }
  size_t Offset() const { return off_; }
  size_t Remaining() const { return n_ - off_; }

 private:
  bool Fail() {
    ok_ = false;
    return false;
  }
  const uint8_t* p_;
  size_t n_;
  size_t off_ = 0;
  bool ok_ = true;
};

}  // namespace tarn::rpc
