#include "tests/support/reference_cipher.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace tarn::test {

namespace {

constexpr size_t kUnit = 512;
constexpr size_t kBlock = 16;
constexpr size_t kMarkerBlock = 496;

std::vector<uint8_t> Ecb(const Key& key, const uint8_t* data, size_t length, bool encrypt)
{
    if (length % kBlock != 0) {
        throw std::invalid_argument("reference cipher: length is not whole blocks");
    }
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    std::vector<uint8_t> out(length + kBlock);
    int n = 0;
    int tail = 0;
    if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, key.data(), nullptr, encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
        EVP_CipherUpdate(ctx.get(), out.data(), &n, data, static_cast<int>(length)) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out.data() + n, &tail) != 1) {
        throw std::runtime_error("reference cipher: OpenSSL failed");
    }
    out.resize(static_cast<size_t>(n + tail));
    return out;
}

}  // namespace

Key MarkerKey()
{
    return KeyFromText("vormelkastrine");
}

Key KeyFromText(const char* text)
{
    Key key{};
    std::memcpy(key.data(), text, std::min(std::strlen(text), key.size()));
    return key;
}

std::vector<uint8_t> EcbEncrypt(const Key& key, const std::vector<uint8_t>& data)
{
    return Ecb(key, data.data(), data.size(), true);
}

std::vector<uint8_t> EcbDecrypt(const Key& key, const std::vector<uint8_t>& data)
{
    return Ecb(key, data.data(), data.size(), false);
}

std::vector<uint8_t> StoredForm(const Key& userKey, uint64_t deviceOffset, std::vector<uint8_t> plaintext)
{
    if (deviceOffset == 0 && plaintext.size() >= kUnit) {
        plaintext[510] = 0x51;
        plaintext[511] = 0x4D;
    }
    std::vector<uint8_t> stored = Ecb(userKey, plaintext.data(), plaintext.size(), true);
    if (deviceOffset == 0 && plaintext.size() >= kUnit) {
        std::vector<uint8_t> marker = Ecb(MarkerKey(), plaintext.data() + kMarkerBlock, kBlock, true);
        std::memcpy(stored.data() + kMarkerBlock, marker.data(), kBlock);
    }
    return stored;
}

std::vector<uint8_t> ReadForm(const Key& userKey, uint64_t deviceOffset, const std::vector<uint8_t>& stored)
{
    std::vector<uint8_t> plain = Ecb(userKey, stored.data(), stored.size(), false);
    if (deviceOffset == 0 && stored.size() >= kUnit) {
        std::vector<uint8_t> marker = Ecb(MarkerKey(), stored.data() + kMarkerBlock, kBlock, false);
        std::memcpy(plain.data() + kMarkerBlock, marker.data(), kBlock);
        if (plain[510] == 0x51 && plain[511] == 0x4D) {
            plain[510] = 0x55;
            plain[511] = 0xAA;
        }
    }
    return plain;
}

std::vector<uint8_t> Pattern(std::size_t length, uint32_t seed)
{
    std::vector<uint8_t> data(length);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return data;
}

}  // namespace tarn::test
