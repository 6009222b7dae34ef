// VAES with AVX2: two blocks per 256-bit register, eight registers (sixteen
// blocks) in flight per step.
#include <immintrin.h>

#include "cipher/aes_paths.h"
#include "cipher/keys.h"

#define TARN_VAES256 __attribute__((target("vaes,avx2,aes,sse4.1,ssse3")))

namespace {

// Big-endian schedule words to key bytes in memory order, copied to both lanes.
TARN_VAES256 inline void LoadRoundKeys(const uint32_t* words, int rounds, __m256i* keys) {
    const __m128i swap = _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    for (int r = 0; r <= rounds; ++r) {
        const __m128i k = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words + 4 * r)), swap);
        keys[r] = _mm256_broadcastsi128_si256(k);
    }
}

template <bool Encrypt>
TARN_VAES256 inline __m256i Round(__m256i b, __m256i k) {
    return Encrypt ? _mm256_aesenc_epi128(b, k) : _mm256_aesdec_epi128(b, k);
}

template <bool Encrypt>
TARN_VAES256 inline __m256i LastRound(__m256i b, __m256i k) {
    return Encrypt ? _mm256_aesenclast_epi128(b, k) : _mm256_aesdeclast_epi128(b, k);
}

template <int Rounds, bool Encrypt>
TARN_VAES256 void Run(const __m256i* k, const uint8_t* in, uint8_t* out, size_t blocks) {
    constexpr size_t kRegs = 8;
    constexpr size_t kStep = 2 * kRegs;
    size_t i = 0;
    for (; i + kStep <= blocks; i += kStep) {
        __m256i b[kRegs];
        #pragma GCC unroll 8
        for (size_t j = 0; j < kRegs; ++j)
            b[j] = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 16 * i + 32 * j)), k[0]);
#pragma GCC unroll 16
        for (int r = 1; r < Rounds; ++r) {
            #pragma GCC unroll 8
            for (size_t j = 0; j < kRegs; ++j) b[j] = Round<Encrypt>(b[j], k[r]);
        }
        #pragma GCC unroll 8
        for (size_t j = 0; j < kRegs; ++j)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16 * i + 32 * j), LastRound<Encrypt>(b[j], k[Rounds]));
    }
    for (; i + 2 <= blocks; i += 2) {
        __m256i b = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 16 * i)), k[0]);
#pragma GCC unroll 16
        for (int r = 1; r < Rounds; ++r) b = Round<Encrypt>(b, k[r]);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16 * i), LastRound<Encrypt>(b, k[Rounds]));
    }
    if (i < blocks) {
        __m128i b = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * i)),
                                  _mm256_castsi256_si128(k[0]));
#pragma GCC unroll 16
        for (int r = 1; r < Rounds; ++r) {
            const __m128i rk = _mm256_castsi256_si128(k[r]);
            b = Encrypt ? _mm_aesenc_si128(b, rk) : _mm_aesdec_si128(b, rk);
        }
        const __m128i rk = _mm256_castsi256_si128(k[Rounds]);
        b = Encrypt ? _mm_aesenclast_si128(b, rk) : _mm_aesdeclast_si128(b, rk);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * i), b);
    }
}

template <bool Encrypt>
TARN_VAES256 void Dispatch(const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks) {
    const int rounds = ScheduleRounds(schedule);
    __m256i keys[15];
    LoadRoundKeys(Encrypt ? schedule->EncRoundKeys : schedule->DecRoundKeys, rounds, keys);
    switch (rounds) {
    case 10: Run<10, Encrypt>(keys, in, out, blocks); break;
    case 12: Run<12, Encrypt>(keys, in, out, blocks); break;
    default: Run<14, Encrypt>(keys, in, out, blocks); break;
    }
    SecureWipe(keys, sizeof(keys));
}

}  // namespace

void Vaes256EncryptBlocks(const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks) {
    Dispatch<true>(schedule, in, out, blocks);
}

void Vaes256DecryptBlocks(const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks) {
    Dispatch<false>(schedule, in, out, blocks);
}
