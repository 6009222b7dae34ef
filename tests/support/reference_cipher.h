// The on-medium format computed with OpenSSL's AES-256-ECB, independently of
// our cipher: what a device's stored bytes must be for a given plaintext, and
// back. Tests only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarn::test {

using Key = std::array<uint8_t, 32>;

// "vormelkastrine" and 18 zero bytes.
Key MarkerKey();

// A key made from a short text, zero-padded like a password key.
Key KeyFromText(const char* text);

// AES-256-ECB over whole 16-byte blocks.
std::vector<uint8_t> EcbEncrypt(const Key& key, const std::vector<uint8_t>& data);
std::vector<uint8_t> EcbDecrypt(const Key& key, const std::vector<uint8_t>& data);

// Stored bytes of a transfer of plaintext at deviceOffset (a multiple of
// 512): unit 0 gets the marker in bytes 510/511 and its block 31 under the
// marker key, everything else the user key.
std::vector<uint8_t> StoredForm(const Key& userKey, uint64_t deviceOffset, std::vector<uint8_t> plaintext);

// What a reader with the key sees of stored bytes at deviceOffset: unit 0's
// marker shows as 0x55 0xAA.
std::vector<uint8_t> ReadForm(const Key& userKey, uint64_t deviceOffset, const std::vector<uint8_t>& stored);

// Deterministic test data.
std::vector<uint8_t> Pattern(std::size_t length, uint32_t seed);

}  // namespace tarn::test
