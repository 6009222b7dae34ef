#include "cipher/aes_tables.h"

#include <mutex>

namespace {

uint8_t Xtime(uint8_t x) {
    return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0x00));
}

uint8_t Rotl8(uint8_t x, int n) {
    return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

uint32_t Rotr32(uint32_t x, int n) {
    return n == 0 ? x : (x >> n) | (x << (32 - n));
}

uint32_t Pack(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
    return (uint32_t{b0} << 24) | (uint32_t{b1} << 16) | (uint32_t{b2} << 8) | uint32_t{b3};
}

struct Field {
    uint8_t Alog[256];  // 3^i
    uint8_t Log[256];   // log base 3; Log[0] unused

    Field() {
        uint8_t x = 1;
        for (int i = 0; i < 256; ++i) {
            Alog[i] = x;
            x = static_cast<uint8_t>(x ^ Xtime(x));  // x * 3
        }
        Log[0] = 0;
        for (int i = 0; i < 255; ++i) Log[Alog[i]] = static_cast<uint8_t>(i);
    }

    uint8_t Mul(uint8_t a, uint8_t b) const {
        if (a == 0 || b == 0) return 0;
        return Alog[(Log[a] + Log[b]) % 255];
    }

    uint8_t Inverse(uint8_t a) const {
        return a == 0 ? 0 : Alog[(255 - Log[a]) % 255];
    }
};

void Build(AesTables& t) {
    const Field f;

    for (int i = 0; i < 256; ++i) {
        const uint8_t b = f.Inverse(static_cast<uint8_t>(i));
        const uint8_t s = static_cast<uint8_t>(b ^ Rotl8(b, 1) ^ Rotl8(b, 2) ^ Rotl8(b, 3) ^ Rotl8(b, 4) ^ 0x63);
        t.Sbox[i] = s;
        t.InvSbox[s] = static_cast<uint8_t>(i);
    }

    for (int i = 0; i < 256; ++i) {
        const uint8_t s = t.Sbox[i];
        const uint32_t te = Pack(f.Mul(2, s), s, s, f.Mul(3, s));
        const uint8_t si = t.InvSbox[i];
        const uint32_t td = Pack(f.Mul(0x0E, si), f.Mul(0x09, si), f.Mul(0x0D, si), f.Mul(0x0B, si));
        const uint8_t k = static_cast<uint8_t>(i);
        const uint32_t kc = Pack(f.Mul(0x0E, k), f.Mul(0x09, k), f.Mul(0x0D, k), f.Mul(0x0B, k));
        for (int r = 0; r < 4; ++r) {
            t.Te[r][i] = Rotr32(te, 8 * r);
            t.Td[r][i] = Rotr32(td, 8 * r);
            t.Kc[r][i] = Rotr32(kc, 8 * r);
        }
    }

    uint8_t rc = 1;
    for (int i = 0; i < 10; ++i) {
        t.Rcon[i] = uint32_t{rc} << 24;
        rc = Xtime(rc);
    }
}

AesTables g_tables;
std::once_flag g_tablesBuilt;

}  // namespace

const AesTables& GetAesTables() {
    std::call_once(g_tablesBuilt, [] { Build(g_tables); });
    return g_tables;
}
