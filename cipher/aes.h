// AES (FIPS-197) block cipher with the key schedule every component shares.
//
// Key words and cipher blocks are big-endian words of the key and data bytes,
// so this is plain byte-oriented AES. The schedule layout is fixed: the table
// path reads it directly and the AES-NI/VAES paths convert it per call.
#pragma once

#include <cstddef>
#include <cstdint>

struct KEY_SCHEDULE {
    uint32_t EncRoundKeys[64];  // 4 words per round, words 0 .. 4*Rounds+3 used
    uint32_t DecRoundKeys[64];  // equivalent inverse cipher (FIPS-197 5.3.5)
    int32_t Rounds;             // 10, 12 or 14
};

// Builds the tables on first use and expands the key. Returns 0, or 1 when
// keyBits is not 128, 192 or 256 (the schedule is then left unchanged).
int AesSetKey(KEY_SCHEDULE* schedule, const uint8_t* key, int keyBits);

// One block; in and out may be the same buffer.
void AesEncryptBlock(const KEY_SCHEDULE* schedule, const uint8_t in[16], uint8_t out[16]);
void AesDecryptBlock(const KEY_SCHEDULE* schedule, const uint8_t in[16], uint8_t out[16]);

// Overwrites a schedule so no key material survives it.
void AesWipeKey(KEY_SCHEDULE* schedule);
