// Internal: the block-run functions of each implementation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cipher/aes.h"

// A schedule that AesSetKey never filled (or that was wiped) still runs a
// whole number of known rounds inside the arrays rather than reading past them.
inline int ScheduleRounds(const KEY_SCHEDULE* schedule) {
    const int r = schedule->Rounds;
    return (r == 10 || r == 12) ? r : 14;
}

void TableEncryptBlocks(const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks);
void TableDecryptBlocks(const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks);

void AesNiEncryptBlocks(const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks);
void AesNiDecryptBlocks(const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks);

void Vaes256EncryptBlocks(const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks);
void Vaes256DecryptBlocks(const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks);

void Vaes512EncryptBlocks(const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks);
void Vaes512DecryptBlocks(const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks);
