// The ciphertext a drive's unit must hold, computed with OpenSSL rather than
// our own cipher, so a fault shared by the filter and the service shows.
#pragma once

#include <cstdint>
#include <string>

namespace tarn::svce2e {

constexpr size_t kUnit = 512;

// AES-256-ECB over whole 16-byte blocks in place; false if OpenSSL failed.
bool AesEcb(const std::string& password, bool encrypt, uint8_t* data, size_t length);

// The unit at this byte offset of an encrypted drive whose plaintext unit is
// `plain`: unit 0 carries the marker, its last block under the fixed key.
std::string ExpectedCipherUnit(const std::string& plain, uint64_t offset, const std::string& password);

}  // namespace tarn::svce2e
