// The global AES tables, built once per process from the field arithmetic.
#pragma once

#include <cstdint>

struct AesTables {
    uint8_t Sbox[256];
    uint8_t InvSbox[256];
    uint32_t Te[4][256];  // forward round tables: column (2s, s, s, 3s) and its rotations
    uint32_t Td[4][256];  // inverse round tables: column (0E, 09, 0D, 0B) * InvSbox[s]
    uint32_t Rcon[10];    // 0x01 .. 0x36 in the top byte
    uint32_t Kc[4][256];  // InvMixColumns of one key byte, for the decryption round keys
};

// Thread-safe: the first caller builds, everybody else waits for it.
const AesTables& GetAesTables();
