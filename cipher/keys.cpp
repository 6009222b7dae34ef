#include "cipher/keys.h"

#include <cstring>
#include <string.h>

namespace {
constexpr char kFixedKeyText[] = "vormelkastrine";
}

void BuildKeyBuffer(const char* password, uint8_t buffer[kKeyBufferSize]) {
    std::memset(buffer, 0, kKeyBufferSize);
    if (password == nullptr) return;
    // Bytes past the 32nd never reach the key, however long the password is.
    for (size_t i = 0; i < kKeySize && password[i] != '\0'; ++i) buffer[i] = static_cast<uint8_t>(password[i]);
}

void BuildFixedKeyBuffer(uint8_t buffer[kKeyBufferSize]) {
    std::memset(buffer, 0, kKeyBufferSize);
    std::memcpy(buffer, kFixedKeyText, sizeof(kFixedKeyText) - 1);
}

void SecureWipe(void* data, size_t size) {
    if (data != nullptr && size != 0) explicit_bzero(data, size);
}

SectorKeys::SectorKeys() {
    uint8_t buffer[kKeyBufferSize];
    BuildFixedKeyBuffer(buffer);
    AesSetKey(&Fixed, buffer, 256);
    SecureWipe(buffer, sizeof(buffer));
}

SectorKeys::SectorKeys(const char* password) : SectorKeys() {
    uint8_t buffer[kKeyBufferSize];
    BuildKeyBuffer(password, buffer);
    AesSetKey(&User, buffer, 256);
    SecureWipe(buffer, sizeof(buffer));
}

SectorKeys::~SectorKeys() {
    AesWipeKey(&User);
    AesWipeKey(&Fixed);
}
