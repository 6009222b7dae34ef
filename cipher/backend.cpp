#include "cipher/backend.h"

#include <cpuid.h>

#include "cipher/aes_paths.h"

namespace {

struct CpuFeatures {
    bool AesNi = false;
    bool Vaes256 = false;
    bool Vaes512 = false;
};

uint64_t ReadXcr0() {
    uint32_t eax = 0, edx = 0;
    __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
    return (uint64_t{edx} << 32) | eax;
}

CpuFeatures DetectCpu() {
    CpuFeatures f;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
    const bool ssse3 = c & (1u << 9);
    const bool sse41 = c & (1u << 19);
    const bool aes = c & (1u << 25);
    const bool osxsave = c & (1u << 27);
    const bool avx = c & (1u << 28);
    f.AesNi = aes && ssse3 && sse41;
    if (!osxsave || !avx) return f;

    // The wide registers are usable only when the OS saves them.
    const uint64_t xcr0 = ReadXcr0();
    const bool ymmSaved = (xcr0 & 0x6) == 0x6;
    const bool zmmSaved = ymmSaved && (xcr0 & 0xE0) == 0xE0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return f;
    const bool avx2 = b & (1u << 5);
    const bool avx512f = b & (1u << 16);
    const bool avx512bw = b & (1u << 30);
    const bool vaes = c & (1u << 9);
    f.Vaes256 = f.AesNi && ymmSaved && avx2 && vaes;
    f.Vaes512 = f.Vaes256 && zmmSaved && avx512f && avx512bw;
    return f;
}

const CpuFeatures& Cpu() {
    static const CpuFeatures features = DetectCpu();
    return features;
}

AesPath PickBest() {
    if (AesPathSupported(AesPath::Vaes512)) return AesPath::Vaes512;
    if (AesPathSupported(AesPath::Vaes256)) return AesPath::Vaes256;
    if (AesPathSupported(AesPath::AesNi)) return AesPath::AesNi;
    return AesPath::Table;
}

// -1: no override on this thread.
thread_local int t_override = -1;

}  // namespace

const char* AesPathName(AesPath path) {
    switch (path) {
    case AesPath::Table: return "table";
    case AesPath::AesNi: return "aes-ni";
    case AesPath::Vaes256: return "vaes-avx2";
    case AesPath::Vaes512: return "vaes-avx512";
    }
    return "unknown";
}

bool AesPathSupported(AesPath path) {
    switch (path) {
    case AesPath::Table: return true;
    case AesPath::AesNi: return Cpu().AesNi;
    case AesPath::Vaes256: return Cpu().Vaes256;
    case AesPath::Vaes512: return Cpu().Vaes512;
    }
    return false;
}

AesPath AesBestPath() {
    static const AesPath best = PickBest();
    return best;
}

AesPath AesCurrentPath() {
    return t_override >= 0 ? static_cast<AesPath>(t_override) : AesBestPath();
}

void AesEncryptBlocks(AesPath path, const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks) {
    if (!AesPathSupported(path)) path = AesPath::Table;
    switch (path) {
    case AesPath::Vaes512: Vaes512EncryptBlocks(schedule, in, out, blocks); return;
    case AesPath::Vaes256: Vaes256EncryptBlocks(schedule, in, out, blocks); return;
    case AesPath::AesNi: AesNiEncryptBlocks(schedule, in, out, blocks); return;
    case AesPath::Table: break;
    }
    TableEncryptBlocks(schedule, in, out, blocks);
}

void AesDecryptBlocks(AesPath path, const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks) {
    if (!AesPathSupported(path)) path = AesPath::Table;
    switch (path) {
    case AesPath::Vaes512: Vaes512DecryptBlocks(schedule, in, out, blocks); return;
    case AesPath::Vaes256: Vaes256DecryptBlocks(schedule, in, out, blocks); return;
    case AesPath::AesNi: AesNiDecryptBlocks(schedule, in, out, blocks); return;
    case AesPath::Table: break;
    }
    TableDecryptBlocks(schedule, in, out, blocks);
}

AesPathOverride::AesPathOverride(AesPath path) {
    if (!AesPathSupported(path)) return;
    saved_ = t_override;
    t_override = static_cast<int>(path);
    engaged_ = true;
}

AesPathOverride::~AesPathOverride() {
    if (engaged_) t_override = saved_;
}
