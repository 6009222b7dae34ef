// The fuzz entry over the server's PDU and NDR decoding, and seeds for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace tarn::rpc::test {

// Well-formed conversations (bind, then requests for every procedure).
std::vector<std::vector<uint8_t>> FuzzSeeds();

}  // namespace tarn::rpc::test
