// libFuzzer target: whatever a server sends, the client's reply parsing
// gives an error value or a sound result, never reads past what it was
// given, and descrambling leaves the length alone.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "vdisk/netdisk_protocol.h"

using namespace tarn::netdisk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  // Exact-size heap copies, so any overread is caught by the sanitizers.
  std::vector<uint8_t> reply(Data, Data + Size);

  int64_t diskSize = -1;
  if (ParseQueryReply(reply.data(), reply.size(), &diskSize) == ReplyError::None) {
    if (reply.size() != kQueryReplySize || diskSize <= 0 || diskSize > kMaxDiskSize) abort();
  } else if (diskSize != -1) {
    abort();  // a size leaked out of a rejected reply
  }

  uint32_t expected = Size >= 4 ? GetU32(Data) : 0;
  uint32_t transferred = 0;
  if (ParseTransferReply(reply.data(), reply.size(), expected, &transferred) == ReplyError::None) {
    if (reply.size() != kTransferReplySize || transferred != expected) abort();
  }

  // Read data of any length descrambles in place and scrambles back.
  std::vector<uint8_t> data(Data, Data + Size);
  Descramble(data.data(), data.size());
  Scramble(data.data(), data.size());
  if (data != reply) abort();
  return 0;
}
