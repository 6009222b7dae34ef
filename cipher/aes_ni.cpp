// AES-NI, 128 bits: eight independent blocks in flight per step.
#include <immintrin.h>

#include "cipher/aes_paths.h"
#include "cipher/keys.h"

#define TARN_AESNI __attribute__((target("aes,sse4.1,ssse3")))

namespace {

// The schedule holds big-endian words; AES-NI wants the key bytes in memory order.
TARN_AESNI inline void LoadRoundKeys(const uint32_t* words, int rounds, __m128i* keys) {
    const __m128i swap = _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    for (int r = 0; r <= rounds; ++r)
        keys[r] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words + 4 * r)), swap);
}

template <int Rounds, bool Encrypt>
TARN_AESNI void Run(const __m128i* k, const uint8_t* in, uint8_t* out, size_t blocks) {
    constexpr size_t kLanes = 8;
    size_t i = 0;
    for (; i + kLanes <= blocks; i += kLanes) {
        __m128i b[kLanes];
        #pragma GCC unroll 8
        for (size_t j = 0; j < kLanes; ++j)
            b[j] = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * (i + j))), k[0]);
#pragma GCC unroll 16
        for (int r = 1; r < Rounds; ++r) {
            #pragma GCC unroll 8
            for (size_t j = 0; j < kLanes; ++j)
                b[j] = Encrypt ? _mm_aesenc_si128(b[j], k[r]) : _mm_aesdec_si128(b[j], k[r]);
        }
        #pragma GCC unroll 8
        for (size_t j = 0; j < kLanes; ++j) {
            b[j] = Encrypt ? _mm_aesenclast_si128(b[j], k[Rounds]) : _mm_aesdeclast_si128(b[j], k[Rounds]);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * (i + j)), b[j]);
        }
    }
    for (; i < blocks; ++i) {
        __m128i b = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * i)), k[0]);
#pragma GCC unroll 16
        for (int r = 1; r < Rounds; ++r) b = Encrypt ? _mm_aesenc_si128(b, k[r]) : _mm_aesdec_si128(b, k[r]);
        b = Encrypt ? _mm_aesenclast_si128(b, k[Rounds]) : _mm_aesdeclast_si128(b, k[Rounds]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * i), b);
    }
}

template <bool Encrypt>
TARN_AESNI void Dispatch(const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks) {
    const int rounds = ScheduleRounds(schedule);
    __m128i keys[15];
    LoadRoundKeys(Encrypt ? schedule->EncRoundKeys : schedule->DecRoundKeys, rounds, keys);
    switch (rounds) {
    case 10: Run<10, Encrypt>(keys, in, out, blocks); break;
    case 12: Run<12, Encrypt>(keys, in, out, blocks); break;
    default: Run<14, Encrypt>(keys, in, out, blocks); break;
    }
    // Round keys must not linger on the stack.
    SecureWipe(keys, sizeof(keys));
}

}  // namespace

void AesNiEncryptBlocks(const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks) {
    Dispatch<true>(schedule, in, out, blocks);
}

void AesNiDecryptBlocks(const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks) {
    Dispatch<false>(schedule, in, out, blocks);
}
