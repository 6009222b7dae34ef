// Keys from passwords and the fixed marker key.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cipher/aes.h"

constexpr size_t kKeyBufferSize = 64;
constexpr size_t kKeySize = 32;

// 64 zero bytes with the password copied in as a NUL-terminated string; only
// the first 32 bytes (the AES-256 key) matter, so the copy stops there.
void BuildKeyBuffer(const char* password, uint8_t buffer[kKeyBufferSize]);
// 64 zero bytes with "vormelkastrine" at the start.
void BuildFixedKeyBuffer(uint8_t buffer[kKeyBufferSize]);

// Zeroes memory in a way the compiler may not drop.
void SecureWipe(void* data, size_t size);

// A key buffer and its schedules that wipe themselves when they go away.
// (Names in the style of the layer that owns them.)
struct SectorKeys {
    KEY_SCHEDULE User{};
    KEY_SCHEDULE Fixed{};

    SectorKeys();                       // fixed key only
    explicit SectorKeys(const char* password);
    ~SectorKeys();
    SectorKeys(const SectorKeys&) = delete;
    SectorKeys& operator=(const SectorKeys&) = delete;
};
