// Wire records and read-data scrambling of the network disk protocol.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "vdisk/netdisk_protocol.h"

using namespace tarn::netdisk;

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> v) { return std::vector<uint8_t>(v.begin(), v.end()); }

}  // namespace

// Layout faults: fields at the wrong offset, wrong byte order, unused bytes
// left with garbage.
TEST(NetDiskProtocol, RequestLayoutPutsFieldsLittleEndianAndZeroesTheRest) {
  uint8_t out[kRequestSize];
  memset(out, 0xCC, sizeof out);
  EncodeRequest({kOpWrite, 0x0102030405060708ull, 0xA1B2C3D4u}, out);
  std::vector<uint8_t> got(out, out + kRequestSize);
  EXPECT_EQ(got, Bytes({0x83, 0, 0, 0, 0, 0, 0, 0, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0xD4, 0xC3,
                        0xB2, 0xA1, 0, 0, 0, 0}));

  // A size query sets nothing but the opcode, whatever the caller left in the record.
  memset(out, 0xCC, sizeof out);
  EncodeRequest({kOpQuerySize, 99, 99}, out);
  std::vector<uint8_t> query(out, out + kRequestSize);
  std::vector<uint8_t> expected(kRequestSize, 0);
  expected[0] = 0x84;
  EXPECT_EQ(query, expected);

  Request back = DecodeRequest(got.data());
  EXPECT_EQ(back.Opcode, kOpWrite);
  EXPECT_EQ(back.Offset, 0x0102030405060708ull);
  EXPECT_EQ(back.Count, 0xA1B2C3D4u);
}

TEST(NetDiskProtocol, ReplyRecordsRoundTripThroughTheirParsers) {
  uint8_t transfer[kTransferReplySize];
  EncodeTransferReply(65536, transfer);
  uint32_t n = 0;
  EXPECT_EQ(ParseTransferReply(transfer, sizeof transfer, 65536, &n), ReplyError::None);
  EXPECT_EQ(n, 65536u);
  EXPECT_EQ(transfer[4], 0x00);
  EXPECT_EQ(transfer[6], 0x01);

  uint8_t query[kQueryReplySize];
  EncodeQueryReply(int64_t(100) << 20, query);
  EXPECT_EQ(GetU32(query + 8), 16u);
  int64_t size = 0;
  EXPECT_EQ(ParseQueryReply(query, sizeof query, &size), ReplyError::None);
  EXPECT_EQ(size, int64_t(100) << 20);
}

// A hostile or broken server: every malformed reply is an error value, and
// nothing is read past the length given (the sanitizer build checks that).
TEST(NetDiskProtocol, MalformedRepliesAreRejected) {
  struct QueryCase {
    const char* name;
    size_t length;
    uint32_t lengthField;
    int64_t size;
    ReplyError expected;
  };
  const QueryCase queries[] = {
      {"short by one", kQueryReplySize - 1, 16, 4096, ReplyError::Short},
      {"empty", 0, 16, 4096, ReplyError::Short},
      {"long by one", kQueryReplySize + 1, 16, 4096, ReplyError::Long},
      {"length field 17", kQueryReplySize, 17, 4096, ReplyError::LengthField},
      {"length field 0", kQueryReplySize, 0, 4096, ReplyError::LengthField},
      {"size zero", kQueryReplySize, 16, 0, ReplyError::BadSize},
      {"size negative", kQueryReplySize, 16, -512, ReplyError::BadSize},
      {"size beyond 2^62", kQueryReplySize, 16, kMaxDiskSize + 1, ReplyError::BadSize},
      {"size exactly 2^62", kQueryReplySize, 16, kMaxDiskSize, ReplyError::None},
  };
  for (const auto& c : queries) {
    std::vector<uint8_t> buf(kQueryReplySize + 8, 0);
    PutU32(buf.data() + 8, c.lengthField);
    PutU64(buf.data() + 20, uint64_t(c.size));
    // Exactly c.length bytes live in the heap block, so an overread trips ASan.
    std::vector<uint8_t> reply(buf.begin(), buf.begin() + std::min(c.length, buf.size()));
    int64_t size = -7;
    EXPECT_EQ(ParseQueryReply(reply.data(), reply.size(), &size), c.expected) << c.name;
    if (c.expected != ReplyError::None) {
      EXPECT_EQ(size, -7) << c.name << ": size written from a bad reply";
    }
  }

  struct TransferCase {
    const char* name;
    size_t length;
    uint32_t reported;
    uint32_t asked;
    ReplyError expected;
  };
  const TransferCase transfers[] = {
      {"short", kTransferReplySize - 1, 512, 512, ReplyError::Short},
      {"long", kTransferReplySize + 1, 512, 512, ReplyError::Long},
      {"fewer bytes than asked", kTransferReplySize, 511, 512, ReplyError::CountMismatch},
      {"more bytes than asked", kTransferReplySize, 513, 512, ReplyError::CountMismatch},
      {"zero of 64 KiB", kTransferReplySize, 0, 65536, ReplyError::CountMismatch},
      {"exact", kTransferReplySize, 65536, 65536, ReplyError::None},
  };
  for (const auto& c : transfers) {
    std::vector<uint8_t> buf(kTransferReplySize + 4, 0);
    PutU32(buf.data() + 4, c.reported);
    std::vector<uint8_t> reply(buf.begin(), buf.begin() + c.length);
    EXPECT_EQ(ParseTransferReply(reply.data(), reply.size(), c.asked, nullptr), c.expected) << c.name;
  }
}

// Known answers worked out by hand from the three steps, e.g. byte 0 of a
// zero unit: 0x00 ^ 0x3B = 0x3B; step 2 adds nothing at place 0; step 3
// subtracts (0+1+...+7) + (sum of the key = 812) = 840 = 0x48 (mod 256),
// and 0x3B - 0x48 = 0xF3.
TEST(NetDiskProtocol, DescrambleMatchesHandComputedUnits) {
  struct Case {
    std::vector<uint8_t> wire, plain;
  };
  const Case cases[] = {
      {Bytes({0, 0, 0, 0, 0, 0, 0, 0}), Bytes({0xF3, 0x24, 0xE4, 0x9C, 0x68, 0xAC, 0xA0, 0x0C})},
      {Bytes({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}),
       Bytes({0xF3, 0x15, 0xC6, 0x6F, 0x2C, 0x01, 0x06, 0xA3})},
      {Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
       Bytes({0x7C, 0x43, 0x7B, 0xBB, 0xE7, 0x9B, 0x9F, 0x2B})},
  };
  for (const auto& c : cases) {
    // Three units in a row: each unit is processed from its own start.
    std::vector<uint8_t> data, expected;
    for (int u = 0; u < 3; ++u) {
      data.insert(data.end(), c.wire.begin(), c.wire.end());
      expected.insert(expected.end(), c.plain.begin(), c.plain.end());
    }
    Descramble(data.data(), data.size());
    EXPECT_EQ(data, expected);
    Scramble(data.data(), data.size());
    std::vector<uint8_t> wire3;
    for (int u = 0; u < 3; ++u) wire3.insert(wire3.end(), c.wire.begin(), c.wire.end());
    EXPECT_EQ(data, wire3) << "scrambling is not the inverse of descrambling";
  }
}

TEST(NetDiskProtocol, ScrambleIsInvertibleForEveryByteAtEveryPlace) {
  // Every value at every place, plus an odd-length tail.
  std::vector<uint8_t> data(256 * 8 + 5);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i / 8);
  std::vector<uint8_t> original = data;
  Scramble(data.data(), data.size());
  EXPECT_NE(data, original);
  Descramble(data.data(), data.size());
  EXPECT_EQ(data, original);
}

// The fast paths (two units, then one unit at a time) must keep every byte
// at its place in the unit, whatever the length and wherever the data
// starts in memory: compare with the three steps applied byte by byte.
TEST(NetDiskProtocol, FastDescramblingKeepsEveryByteAtItsPlace) {
  auto reference = [](uint8_t Byte, size_t Place) {
    const int i = int(Place & 7);
    uint8_t b = uint8_t(Byte ^ uint8_t(kScrambleKey[i] << i));
    for (int j = 0; j < 8; ++j) b = uint8_t(b ^ uint8_t((kScrambleKey[j] - 1) * i));
    for (int j = 0; j < 8; ++j) b = uint8_t(b - ((j | i) + kScrambleKey[j]));
    return b;
  };
  std::vector<uint8_t> storage(128 + 16);
  for (size_t misalign : {0, 1, 3, 8, 15}) {
    for (size_t length = 0; length <= 128; ++length) {
      uint8_t* data = storage.data() + misalign;
      for (size_t i = 0; i < length; ++i) data[i] = uint8_t(i * 37 + misalign);
      Descramble(data, length);
      size_t wrong = 0;
      for (size_t i = 0; i < length; ++i) wrong += data[i] != reference(uint8_t(i * 37 + misalign), i);
      EXPECT_EQ(wrong, 0u) << "length " << length << ", misaligned by " << misalign;
      Scramble(data, length);
      for (size_t i = 0; i < length; ++i) wrong += data[i] != uint8_t(i * 37 + misalign);
      EXPECT_EQ(wrong, 0u) << "scrambling back, length " << length << ", misaligned by " << misalign;
    }
  }
}
