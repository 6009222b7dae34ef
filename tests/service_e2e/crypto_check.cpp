#include "crypto_check.h"

#include <openssl/evp.h>

#include <cstring>

namespace tarn::svce2e {

namespace {

// The key is the password as a NUL-terminated string in 32 zero bytes.
void KeyOf(const std::string& password, uint8_t key[32]) {
    std::memset(key, 0, 32);
    std::memcpy(key, password.data(), password.size() < 32 ? password.size() : 32);
}

}  // namespace

bool AesEcb(const std::string& password, bool encrypt, uint8_t* data, size_t length) {
    uint8_t key[32];
    KeyOf(password, key);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx) return false;
    int n = 0;
    const int blocks = int(length / 16 * 16);
    const bool ok = EVP_CipherInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 && EVP_CipherUpdate(ctx, data, &n, data, blocks) == 1 &&
                    n == blocks;
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

std::string ExpectedCipherUnit(const std::string& plain, uint64_t offset, const std::string& password) {
    std::string unit = plain;
    auto* bytes = reinterpret_cast<uint8_t*>(unit.data());
    if (offset != 0) {
        AesEcb(password, true, bytes, unit.size());
        return unit;
    }
    bytes[510] = 0x51;
    bytes[511] = 0x4D;
    AesEcb(password, true, bytes, kUnit - 16);
    AesEcb("vormelkastrine", true, bytes + kUnit - 16, 16);
    return unit;
}

}  // namespace tarn::svce2e
