// Helpers shared by the cipher tests: random data, hex, OpenSSL as the
// independent AES, and the list of paths this CPU runs.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "cipher/backend.h"

namespace cipher_test {

using Bytes = std::vector<uint8_t>;

inline Bytes RandomBytes(std::mt19937_64& rng, size_t size) {
    Bytes out(size);
    for (uint8_t& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

inline Bytes FromHex(const std::string& hex) {
    if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex length: " + hex);
    Bytes out;
    for (size_t i = 0; i < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::vector<AesPath> SupportedPaths() {
    std::vector<AesPath> paths;
    for (AesPath p : kAllAesPaths)
        if (AesPathSupported(p)) paths.push_back(p);
    return paths;
}

// OpenSSL ECB without padding over whole blocks; key length picks AES-128/192/256.
inline Bytes OpenSslEcb(const uint8_t* key, size_t keyBytes, bool encrypt, const uint8_t* data, size_t size) {
    const EVP_CIPHER* cipher = keyBytes == 16 ? EVP_aes_128_ecb() : keyBytes == 24 ? EVP_aes_192_ecb() : EVP_aes_256_ecb();
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(size);
    int written = 0;
    const bool ok = ctx != nullptr && EVP_CipherInit_ex(ctx, cipher, nullptr, key, nullptr, encrypt ? 1 : 0) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
                    EVP_CipherUpdate(ctx, out.data(), &written, data, static_cast<int>(size)) == 1 &&
                    static_cast<size_t>(written) == size;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) throw std::runtime_error("OpenSSL ECB failed");
    return out;
}

inline Bytes OpenSslEcb(const Bytes& key, bool encrypt, const uint8_t* data, size_t size) {
    return OpenSslEcb(key.data(), key.size(), encrypt, data, size);
}

}  // namespace cipher_test
