// Table-driven AES: the reference implementation and the fallback for CPUs
// without AES instructions. One table lookup per byte per round, rounds
// unrolled, nothing allocated.
#include <cstring>

#include "cipher/aes.h"
#include "cipher/aes_paths.h"
#include "cipher/aes_tables.h"
#include "cipher/keys.h"

namespace {

uint32_t LoadBe(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void StoreBe(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline uint32_t B0(uint32_t x) { return x >> 24; }
inline uint32_t B1(uint32_t x) { return (x >> 16) & 0xFF; }
inline uint32_t B2(uint32_t x) { return (x >> 8) & 0xFF; }
inline uint32_t B3(uint32_t x) { return x & 0xFF; }

uint32_t SubWord(const AesTables& t, uint32_t w) {
    return (uint32_t{t.Sbox[B0(w)]} << 24) | (uint32_t{t.Sbox[B1(w)]} << 16) |
           (uint32_t{t.Sbox[B2(w)]} << 8) | uint32_t{t.Sbox[B3(w)]};
}

uint32_t InvMixColumn(const AesTables& t, uint32_t w) {
    return t.Kc[0][B0(w)] ^ t.Kc[1][B1(w)] ^ t.Kc[2][B2(w)] ^ t.Kc[3][B3(w)];
}

// One forward round from s into d with round key rk.
#define ENC_ROUND(d, s, rk)                                                                          \
    d##0 = T0[B0(s##0)] ^ T1[B1(s##1)] ^ T2[B2(s##2)] ^ T3[B3(s##3)] ^ (rk)[0];                     \
    d##1 = T0[B0(s##1)] ^ T1[B1(s##2)] ^ T2[B2(s##3)] ^ T3[B3(s##0)] ^ (rk)[1];                     \
    d##2 = T0[B0(s##2)] ^ T1[B1(s##3)] ^ T2[B2(s##0)] ^ T3[B3(s##1)] ^ (rk)[2];                     \
    d##3 = T0[B0(s##3)] ^ T1[B1(s##0)] ^ T2[B2(s##1)] ^ T3[B3(s##2)] ^ (rk)[3]

#define DEC_ROUND(d, s, rk)                                                                          \
    d##0 = T0[B0(s##0)] ^ T1[B1(s##3)] ^ T2[B2(s##2)] ^ T3[B3(s##1)] ^ (rk)[0];                     \
    d##1 = T0[B0(s##1)] ^ T1[B1(s##0)] ^ T2[B2(s##3)] ^ T3[B3(s##2)] ^ (rk)[1];                     \
    d##2 = T0[B0(s##2)] ^ T1[B1(s##1)] ^ T2[B2(s##0)] ^ T3[B3(s##3)] ^ (rk)[2];                     \
    d##3 = T0[B0(s##3)] ^ T1[B1(s##2)] ^ T2[B2(s##1)] ^ T3[B3(s##0)] ^ (rk)[3]

void EncryptOne(const AesTables& t, const uint32_t* rk, int rounds, const uint8_t* in, uint8_t* out) {
    const uint32_t* T0 = t.Te[0];
    const uint32_t* T1 = t.Te[1];
    const uint32_t* T2 = t.Te[2];
    const uint32_t* T3 = t.Te[3];
    uint32_t s0 = LoadBe(in) ^ rk[0];
    uint32_t s1 = LoadBe(in + 4) ^ rk[1];
    uint32_t s2 = LoadBe(in + 8) ^ rk[2];
    uint32_t s3 = LoadBe(in + 12) ^ rk[3];
    uint32_t t0, t1, t2, t3;
    ENC_ROUND(t, s, rk + 4);
    ENC_ROUND(s, t, rk + 8);
    ENC_ROUND(t, s, rk + 12);
    ENC_ROUND(s, t, rk + 16);
    ENC_ROUND(t, s, rk + 20);
    ENC_ROUND(s, t, rk + 24);
    ENC_ROUND(t, s, rk + 28);
    ENC_ROUND(s, t, rk + 32);
    ENC_ROUND(t, s, rk + 36);
    if (rounds > 10) {
        ENC_ROUND(s, t, rk + 40);
        ENC_ROUND(t, s, rk + 44);
        if (rounds > 12) {
            ENC_ROUND(s, t, rk + 48);
            ENC_ROUND(t, s, rk + 52);
        }
    }
    const uint32_t* last = rk + 4 * rounds;
    const uint8_t* S = t.Sbox;
    s0 = (uint32_t{S[B0(t0)]} << 24) ^ (uint32_t{S[B1(t1)]} << 16) ^ (uint32_t{S[B2(t2)]} << 8) ^ S[B3(t3)] ^ last[0];
    s1 = (uint32_t{S[B0(t1)]} << 24) ^ (uint32_t{S[B1(t2)]} << 16) ^ (uint32_t{S[B2(t3)]} << 8) ^ S[B3(t0)] ^ last[1];
    s2 = (uint32_t{S[B0(t2)]} << 24) ^ (uint32_t{S[B1(t3)]} << 16) ^ (uint32_t{S[B2(t0)]} << 8) ^ S[B3(t1)] ^ last[2];
    s3 = (uint32_t{S[B0(t3)]} << 24) ^ (uint32_t{S[B1(t0)]} << 16) ^ (uint32_t{S[B2(t1)]} << 8) ^ S[B3(t2)] ^ last[3];
    StoreBe(out, s0);
    StoreBe(out + 4, s1);
    StoreBe(out + 8, s2);
    StoreBe(out + 12, s3);
}

void DecryptOne(const AesTables& t, const uint32_t* rk, int rounds, const uint8_t* in, uint8_t* out) {
    const uint32_t* T0 = t.Td[0];
    const uint32_t* T1 = t.Td[1];
    const uint32_t* T2 = t.Td[2];
    const uint32_t* T3 = t.Td[3];
    uint32_t s0 = LoadBe(in) ^ rk[0];
    uint32_t s1 = LoadBe(in + 4) ^ rk[1];
    uint32_t s2 = LoadBe(in + 8) ^ rk[2];
    uint32_t s3 = LoadBe(in + 12) ^ rk[3];
    uint32_t t0, t1, t2, t3;
    DEC_ROUND(t, s, rk + 4);
    DEC_ROUND(s, t, rk + 8);
    DEC_ROUND(t, s, rk + 12);
    DEC_ROUND(s, t, rk + 16);
    DEC_ROUND(t, s, rk + 20);
    DEC_ROUND(s, t, rk + 24);
    DEC_ROUND(t, s, rk + 28);
    DEC_ROUND(s, t, rk + 32);
    DEC_ROUND(t, s, rk + 36);
    if (rounds > 10) {
        DEC_ROUND(s, t, rk + 40);
        DEC_ROUND(t, s, rk + 44);
        if (rounds > 12) {
            DEC_ROUND(s, t, rk + 48);
            DEC_ROUND(t, s, rk + 52);
        }
    }
    const uint32_t* last = rk + 4 * rounds;
    const uint8_t* S = t.InvSbox;
    s0 = (uint32_t{S[B0(t0)]} << 24) ^ (uint32_t{S[B1(t3)]} << 16) ^ (uint32_t{S[B2(t2)]} << 8) ^ S[B3(t1)] ^ last[0];
    s1 = (uint32_t{S[B0(t1)]} << 24) ^ (uint32_t{S[B1(t0)]} << 16) ^ (uint32_t{S[B2(t3)]} << 8) ^ S[B3(t2)] ^ last[1];
    s2 = (uint32_t{S[B0(t2)]} << 24) ^ (uint32_t{S[B1(t1)]} << 16) ^ (uint32_t{S[B2(t0)]} << 8) ^ S[B3(t3)] ^ last[2];
    s3 = (uint32_t{S[B0(t3)]} << 24) ^ (uint32_t{S[B1(t2)]} << 16) ^ (uint32_t{S[B2(t1)]} << 8) ^ S[B3(t0)] ^ last[3];
    StoreBe(out, s0);
    StoreBe(out + 4, s1);
    StoreBe(out + 8, s2);
    StoreBe(out + 12, s3);
}

#undef ENC_ROUND
#undef DEC_ROUND

}  // namespace

int AesSetKey(KEY_SCHEDULE* schedule, const uint8_t* key, int keyBits) {
    if (schedule == nullptr || key == nullptr) return 1;
    if (keyBits != 128 && keyBits != 192 && keyBits != 256) return 1;
    const AesTables& t = GetAesTables();

    const int nk = keyBits / 32;
    const int rounds = nk + 6;
    const int words = 4 * (rounds + 1);
    uint32_t* w = schedule->EncRoundKeys;
    for (int i = 0; i < nk; ++i) w[i] = LoadBe(key + 4 * i);
    for (int i = nk; i < words; ++i) {
        uint32_t temp = w[i - 1];
        if (i % nk == 0) {
            temp = SubWord(t, (temp << 8) | (temp >> 24)) ^ t.Rcon[i / nk - 1];
        } else if (nk > 6 && i % nk == 4) {
            temp = SubWord(t, temp);
        }
        w[i] = w[i - nk] ^ temp;
    }
    schedule->Rounds = rounds;

    // Equivalent inverse cipher: last round key first, the middle ones
    // reversed through InvMixColumns, the first one last.
    uint32_t* d = schedule->DecRoundKeys;
    for (int j = 0; j < 4; ++j) {
        d[j] = w[4 * rounds + j];
        d[4 * rounds + j] = w[j];
    }
    for (int r = 1; r < rounds; ++r) {
        for (int j = 0; j < 4; ++j) d[4 * r + j] = InvMixColumn(t, w[4 * (rounds - r) + j]);
    }
    return 0;
}

void AesEncryptBlock(const KEY_SCHEDULE* schedule, const uint8_t in[16], uint8_t out[16]) {
    EncryptOne(GetAesTables(), schedule->EncRoundKeys, ScheduleRounds(schedule), in, out);
}

void AesDecryptBlock(const KEY_SCHEDULE* schedule, const uint8_t in[16], uint8_t out[16]) {
    DecryptOne(GetAesTables(), schedule->DecRoundKeys, ScheduleRounds(schedule), in, out);
}

void AesWipeKey(KEY_SCHEDULE* schedule) {
    if (schedule != nullptr) SecureWipe(schedule, sizeof(*schedule));
}

void TableEncryptBlocks(const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks) {
    const AesTables& t = GetAesTables();
    const int rounds = ScheduleRounds(schedule);
    for (size_t i = 0; i < blocks; ++i) EncryptOne(t, schedule->EncRoundKeys, rounds, in + 16 * i, out + 16 * i);
}

void TableDecryptBlocks(const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks) {
    const AesTables& t = GetAesTables();
    const int rounds = ScheduleRounds(schedule);
    for (size_t i = 0; i < blocks; ++i) DecryptOne(t, schedule->DecRoundKeys, rounds, in + 16 * i, out + 16 * i);
}
