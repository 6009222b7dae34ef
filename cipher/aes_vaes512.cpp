// VAES with AVX-512: four blocks per 512-bit register, eight registers
// (thirty-two blocks, one whole unit) in flight per step.
#include <immintrin.h>

#include "cipher/aes_paths.h"

#define TARN_VAES512 __attribute__((target("vaes,avx512f,avx512bw,avx2,aes,sse4.1,ssse3")))

namespace {

// Big-endian schedule words to key bytes in memory order, copied to all four lanes.
TARN_VAES512 inline __m512i LoadRoundKey(const uint32_t* words, int round) {
    const __m128i swap = _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    const __m128i k = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words + 4 * round)), swap);
    return _mm512_maskz_broadcast_i32x4(0xFFFF, k);  // the unmasked form trips -Wuninitialized in GCC 12 headers
}

template <bool Encrypt>
TARN_VAES512 inline __m512i Round(__m512i b, __m512i k) {
    return Encrypt ? _mm512_aesenc_epi128(b, k) : _mm512_aesdec_epi128(b, k);
}

template <bool Encrypt>
TARN_VAES512 inline __m512i LastRound(__m512i b, __m512i k) {
    return Encrypt ? _mm512_aesenclast_epi128(b, k) : _mm512_aesdeclast_epi128(b, k);
}

template <int Rounds, bool Encrypt>
TARN_VAES512 inline __m512i Whole(__m512i b, const __m512i* k) {
    b = _mm512_xor_si512(b, k[0]);
#pragma GCC unroll 16
    for (int r = 1; r < Rounds; ++r) b = Round<Encrypt>(b, k[r]);
    return LastRound<Encrypt>(b, k[Rounds]);
}

template <int Rounds, bool Encrypt>
TARN_VAES512 void Run(const uint32_t* words, const uint8_t* in, uint8_t* out, size_t blocks) {
    // With 32 vector registers the round keys and eight data registers stay
    // in registers; what the compiler still spills, BurnStack clears.
    __m512i k[Rounds + 1];
#pragma GCC unroll 16
    for (int r = 0; r <= Rounds; ++r) k[r] = LoadRoundKey(words, r);
    constexpr size_t kRegs = 8;
    constexpr size_t kStep = 4 * kRegs;
    size_t i = 0;
    for (; i + kStep <= blocks; i += kStep) {
        __m512i b[kRegs];
        #pragma GCC unroll 8
        for (size_t j = 0; j < kRegs; ++j)
            b[j] = _mm512_xor_si512(_mm512_loadu_si512(in + 16 * i + 64 * j), k[0]);
#pragma GCC unroll 16
        for (int r = 1; r < Rounds; ++r) {
            #pragma GCC unroll 8
            for (size_t j = 0; j < kRegs; ++j) b[j] = Round<Encrypt>(b[j], k[r]);
        }
        #pragma GCC unroll 8
        for (size_t j = 0; j < kRegs; ++j) _mm512_storeu_si512(out + 16 * i + 64 * j, LastRound<Encrypt>(b[j], k[Rounds]));
    }
    for (; i + 4 <= blocks; i += 4)
        _mm512_storeu_si512(out + 16 * i, Whole<Rounds, Encrypt>(_mm512_loadu_si512(in + 16 * i), k));
    if (i < blocks) {
        // One to three blocks left: masked so nothing past the run is touched.
        const __mmask8 mask = static_cast<__mmask8>((1u << (2 * (blocks - i))) - 1);
        const __m512i b = _mm512_maskz_loadu_epi64(mask, in + 16 * i);
        _mm512_mask_storeu_epi64(out + 16 * i, mask, Whole<Rounds, Encrypt>(b, k));
    }
}

// Overwrites the stack just below the caller's frame, where Run's frame
// (and any round key spilled there) lived; Run's frame is well under 512 bytes.
__attribute__((noinline)) TARN_VAES512 void BurnStack() {
    alignas(64) __m512i area[8];
    const __m512i zero = _mm512_setzero_si512();
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) _mm512_store_si512(&area[i], zero);
    __asm__ volatile("" : : "r"(area) : "memory");
}

template <bool Encrypt>
void Dispatch(const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks) {
    const uint32_t* words = Encrypt ? schedule->EncRoundKeys : schedule->DecRoundKeys;
    switch (ScheduleRounds(schedule)) {
    case 10: Run<10, Encrypt>(words, in, out, blocks); break;
    case 12: Run<12, Encrypt>(words, in, out, blocks); break;
    default: Run<14, Encrypt>(words, in, out, blocks); break;
    }
    BurnStack();
}

}  // namespace

void Vaes512EncryptBlocks(const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks) {
    Dispatch<true>(schedule, in, out, blocks);
}

void Vaes512DecryptBlocks(const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks) {
    Dispatch<false>(schedule, in, out, blocks);
}
