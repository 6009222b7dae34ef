// Wire records of the network disk protocol, shared by the client in vtarn
// and the server netdiskd: request and reply layouts, the scrambling of read
// data, and checked parsing of replies.
//
// Everything here works on byte arrays with explicit little-endian encoding,
// allocates nothing and never reads outside the length it is given, so the
// client may hand it whatever a server sent.
//
// Exchanges (the client sends, then receives exactly):
//   read        request (0x82, Offset, Count)          -> 12-byte reply, Count scrambled data bytes
//   write       request (0x83, Offset, Count) + data    -> 12-byte reply
//   query size  request (0x84)                          -> 28-byte reply
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarn::netdisk {

inline constexpr uint8_t kOpRead = 0x82;
inline constexpr uint8_t kOpWrite = 0x83;
inline constexpr uint8_t kOpQuerySize = 0x84;

inline constexpr size_t kRequestSize = 24;
inline constexpr size_t kTransferReplySize = 12;
inline constexpr size_t kQueryReplySize = 28;

// Largest data part of one read or write exchange; longer transfers are
// split by the client and refused by the server.
inline constexpr uint32_t kMaxExchange = 65536;

// The query reply's length field (offset 8) always holds this.
inline constexpr uint32_t kQueryReplyLength = 16;

// Largest disk size a client accepts: beyond it byte offsets of the disk
// would come close to overflowing signed 64-bit arithmetic.
inline constexpr int64_t kMaxDiskSize = int64_t(1) << 62;

// Field offsets.
inline constexpr size_t kRequestOpcodeAt = 0;
inline constexpr size_t kRequestOffsetAt = 8;
inline constexpr size_t kRequestCountAt = 16;
inline constexpr size_t kTransferReplyCountAt = 4;
inline constexpr size_t kQueryReplyLengthAt = 8;
inline constexpr size_t kQueryReplySizeAt = 20;

// Key of the read-data scrambling, fixed in the driver and the server.
inline constexpr uint8_t kScrambleKey[8] = {0x3B, 0xC4, 0x71, 0x0E, 0x92, 0x5D, 0xA8, 0x17};

struct Request {
  uint8_t Opcode = 0;
  uint64_t Offset = 0;
  uint32_t Count = 0;
};

// What is wrong with a reply the client received.
enum class ReplyError {
  None,
  Short,          // fewer bytes than the record
  Long,           // more bytes than the record
  LengthField,    // the query reply's length field is not 16
  CountMismatch,  // a transfer reply reports other than the bytes asked for
  BadSize,        // disk size zero, negative or beyond kMaxDiskSize
};

inline const char* Describe(ReplyError Error) {
  switch (Error) {
    case ReplyError::None: return "no error";
    case ReplyError::Short: return "reply shorter than its record";
    case ReplyError::Long: return "reply longer than its record";
    case ReplyError::LengthField: return "wrong length field in the reply";
    case ReplyError::CountMismatch: return "reply reports a different byte count";
    case ReplyError::BadSize: return "disk size out of range";
  }
  return "unknown reply error";
}

// --- Little-endian fields ------------------------------------------------

inline void PutU32(uint8_t* At, uint32_t Value) {
  for (int i = 0; i < 4; ++i) At[i] = uint8_t(Value >> (8 * i));
}
inline void PutU64(uint8_t* At, uint64_t Value) {
  for (int i = 0; i < 8; ++i) At[i] = uint8_t(Value >> (8 * i));
}
inline uint32_t GetU32(const uint8_t* At) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | At[i];
  return v;
}
inline uint64_t GetU64(const uint8_t* At) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | At[i];
  return v;
}

// --- Requests ----------------------------------------------------------------

// Bytes the fields do not use are sent as zeros.
inline void EncodeRequest(const Request& In, uint8_t Out[kRequestSize]) {
  for (size_t i = 0; i < kRequestSize; ++i) Out[i] = 0;
  Out[kRequestOpcodeAt] = In.Opcode;
  if (In.Opcode != kOpQuerySize) {
    PutU64(Out + kRequestOffsetAt, In.Offset);
    PutU32(Out + kRequestCountAt, In.Count);
  }
}

// The server's side; the unused bytes are not looked at.
inline Request DecodeRequest(const uint8_t In[kRequestSize]) {
  Request r;
  r.Opcode = In[kRequestOpcodeAt];
  r.Offset = GetU64(In + kRequestOffsetAt);
  r.Count = GetU32(In + kRequestCountAt);
  return r;
}

// --- Replies -----------------------------------------------------------------

inline void EncodeTransferReply(uint32_t Transferred, uint8_t Out[kTransferReplySize]) {
  for (size_t i = 0; i < kTransferReplySize; ++i) Out[i] = 0;
  PutU32(Out + kTransferReplyCountAt, Transferred);
}

inline void EncodeQueryReply(int64_t DiskSize, uint8_t Out[kQueryReplySize]) {
  for (size_t i = 0; i < kQueryReplySize; ++i) Out[i] = 0;
  PutU32(Out + kQueryReplyLengthAt, kQueryReplyLength);
  PutU64(Out + kQueryReplySizeAt, uint64_t(DiskSize));
}

// A read or write reply header. The server reports the bytes it moved; a
// count other than the one asked for means the server did not do the whole
// exchange, so it is an error rather than a value passed on unchecked.
inline ReplyError ParseTransferReply(const uint8_t* Reply, size_t Length, uint32_t Expected,
                                     uint32_t* Transferred) {
  if (Length < kTransferReplySize) return ReplyError::Short;
  if (Length > kTransferReplySize) return ReplyError::Long;
  uint32_t n = GetU32(Reply + kTransferReplyCountAt);
  if (Transferred != nullptr) *Transferred = n;
  if (n != Expected) return ReplyError::CountMismatch;
  return ReplyError::None;
}

// A query reply: the length field must be 16 and the size in (0, 2^62].
inline ReplyError ParseQueryReply(const uint8_t* Reply, size_t Length, int64_t* DiskSize) {
  if (Length < kQueryReplySize) return ReplyError::Short;
  if (Length > kQueryReplySize) return ReplyError::Long;
  if (GetU32(Reply + kQueryReplyLengthAt) != kQueryReplyLength) return ReplyError::LengthField;
  auto size = int64_t(GetU64(Reply + kQueryReplySizeAt));
  if (size <= 0 || size > kMaxDiskSize) return ReplyError::BadSize;
  if (DiskSize != nullptr) *DiskSize = size;
  return ReplyError::None;
}

// --- Scrambling of read data ---------------------------------------------------
//
// Descrambling one 8-byte unit b[0..7], for i = 0..7 (arithmetic mod 256):
//   b[i] ^= k[i] << i;
//   for j = 0..7: b[i] ^= (k[j] - 1) * i;
//   for j = 0..7: b[i] -= (j | i) + k[j];
// Each byte depends only on itself and its place i in the unit, so the steps
// fold into one mask and one difference per place, and whole units are
// worked on as 8-byte words. A final partial unit is treated byte by byte
// with the same per-place values. Where SSE2 is there, two units go at once.

struct ScramblePlace {
  uint8_t Mask;        // XOR of steps 1 and 2
  uint8_t Difference;  // sum of step 3
};

constexpr ScramblePlace MakeScramblePlace(int i) {
  uint8_t mask = uint8_t(kScrambleKey[i] << i);
  uint8_t difference = 0;
  for (int j = 0; j < 8; ++j) {
    mask = uint8_t(mask ^ uint8_t((kScrambleKey[j] - 1) * i));
    difference = uint8_t(difference + ((j | i) + kScrambleKey[j]));
  }
  return ScramblePlace{mask, difference};
}

inline constexpr ScramblePlace kScramblePlaces[8] = {
    MakeScramblePlace(0), MakeScramblePlace(1), MakeScramblePlace(2), MakeScramblePlace(3),
    MakeScramblePlace(4), MakeScramblePlace(5), MakeScramblePlace(6), MakeScramblePlace(7)};

// The places' masks and differences as 8-byte words (in memory order, so
// whole units can be worked on at once whatever the byte order).
struct ScrambleWords {
  uint64_t Mask;
  uint64_t Difference;
};

inline ScrambleWords MakeScrambleWords() {
  uint8_t mask[8], difference[8];
  for (int i = 0; i < 8; ++i) {
    mask[i] = kScramblePlaces[i].Mask;
    difference[i] = kScramblePlaces[i].Difference;
  }
  ScrambleWords w;
  memcpy(&w.Mask, mask, 8);
  memcpy(&w.Difference, difference, 8);
  return w;
}

// Bytewise a - b and a + b (mod 256 in every byte) on 8 bytes at once.
inline uint64_t SubtractBytes(uint64_t A, uint64_t B) {
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  return ((A | kHigh) - (B & ~kHigh)) ^ ((A ^ ~B) & kHigh);
}
inline uint64_t AddBytes(uint64_t A, uint64_t B) {
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  return ((A & ~kHigh) + (B & ~kHigh)) ^ ((A ^ B) & kHigh);
}

// The client's side: turns received read data back into the disk's bytes.
inline void Descramble(uint8_t* Data, size_t Length) {
  static const ScrambleWords w = MakeScrambleWords();
  size_t p = 0;
#if defined(__SSE2__)
  const __m128i mask = _mm_set1_epi64x(int64_t(w.Mask)), difference = _mm_set1_epi64x(int64_t(w.Difference));
  for (; p + 16 <= Length; p += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Data + p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(Data + p), _mm_sub_epi8(_mm_xor_si128(v, mask), difference));
  }
#endif
  for (; p + 8 <= Length; p += 8) {
    uint64_t unit;
    memcpy(&unit, Data + p, 8);
    unit = SubtractBytes(unit ^ w.Mask, w.Difference);
    memcpy(Data + p, &unit, 8);
  }
  for (; p < Length; ++p) {
    const ScramblePlace& s = kScramblePlaces[p & 7];
    Data[p] = uint8_t((Data[p] ^ s.Mask) - s.Difference);
  }
}

// The server's side: the inverse of Descramble.
inline void Scramble(uint8_t* Data, size_t Length) {
  static const ScrambleWords w = MakeScrambleWords();
  size_t p = 0;
#if defined(__SSE2__)
  const __m128i mask = _mm_set1_epi64x(int64_t(w.Mask)), difference = _mm_set1_epi64x(int64_t(w.Difference));
  for (; p + 16 <= Length; p += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Data + p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(Data + p), _mm_xor_si128(_mm_add_epi8(v, difference), mask));
  }
#endif
  for (; p + 8 <= Length; p += 8) {
    uint64_t unit;
    memcpy(&unit, Data + p, 8);
    unit = AddBytes(unit, w.Difference) ^ w.Mask;
    memcpy(Data + p, &unit, 8);
  }
  for (; p < Length; ++p) {
    const ScramblePlace& s = kScramblePlaces[p & 7];
    Data[p] = uint8_t(uint8_t(Data[p] + s.Difference) ^ s.Mask);
  }
}

}  // namespace tarn::netdisk
