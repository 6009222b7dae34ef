// The fuzz entry in every build: the seeds, then a fixed series of
// mutations of them (flipped bits, boundary values, cuts, splices). The
// sanitizer build turns any memory fault in the server's decoding into a
// failure here.
#include <gtest/gtest.h>

#include <random>

#include "fuzz_server_pdu.h"

namespace tarn::rpc::test {
namespace {

std::vector<uint8_t> Mutate(std::vector<uint8_t> s, std::mt19937& rng,
                            const std::vector<std::vector<uint8_t>>& seeds) {
  static const uint8_t kInteresting[] = {0x00, 0x01, 0x02, 0x03, 0x7f, 0x80, 0xfe, 0xff, 0x10, 0x0b};
  const int edits = 1 + static_cast<int>(rng() % 4);
  for (int e = 0; e < edits && !s.empty(); ++e) {
    const size_t at = rng() % s.size();
    switch (rng() % 5) {
      case 0:
        s[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
      case 1:
        s[at] = kInteresting[rng() % sizeof(kInteresting)];
        break;
      case 2:
        s.resize(at);
        break;
      case 3: {  // a 32-bit count set to a boundary value
        static const uint32_t kCounts[] = {0, 1, 2047, 2048, 2049, 65536, 0x7fffffff, 0xffffffff};
        const uint32_t v = kCounts[rng() % 8];
        for (int b = 0; b < 4 && at + b < s.size(); ++b) s[at + b] = static_cast<uint8_t>(v >> (8 * b));
        break;
      }
      default: {
        const auto& other = seeds[rng() % seeds.size()];
        const size_t from = rng() % other.size();
        s.insert(s.begin() + static_cast<std::ptrdiff_t>(at), other.begin() + static_cast<std::ptrdiff_t>(from), other.end());
        break;
      }
    }
  }
  return s;
}

TEST(RpcFuzzReplay, ServerDecodingSurvivesMutatedConversations) {
  const auto seeds = FuzzSeeds();
  for (const auto& s : seeds) LLVMFuzzerTestOneInput(s.data(), s.size());
  std::mt19937 rng(20261208);
  for (int i = 0; i < 20000; ++i) {
    const auto m = Mutate(seeds[rng() % seeds.size()], rng, seeds);
    LLVMFuzzerTestOneInput(m.data(), m.size());
  }
  SUCCEED();
}

}  // namespace
}  // namespace tarn::rpc::test
