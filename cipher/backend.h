// The AES implementations behind the unit procedures. The best one this CPU
// runs is picked once; tests and benchmarks may name one explicitly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cipher/aes.h"

enum class AesPath { Table, AesNi, Vaes256, Vaes512 };

inline constexpr AesPath kAllAesPaths[] = {AesPath::Table, AesPath::AesNi, AesPath::Vaes256, AesPath::Vaes512};

const char* AesPathName(AesPath path);
bool AesPathSupported(AesPath path);

// Chosen once from cpuid, the same for every thread.
AesPath AesBestPath();
// What the unit procedures use on this thread: the best path unless an
// AesPathOverride is alive on it.
AesPath AesCurrentPath();

// ECB over whole 16-byte blocks; in and out may be the same buffer. A path
// the CPU lacks is never run: the table path stands in for it.
void AesEncryptBlocks(AesPath path, const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks);
void AesDecryptBlocks(AesPath path, const KEY_SCHEDULE* schedule, const uint8_t* in, uint8_t* out, size_t blocks);

// For tests and benchmarks only: makes the unit procedures of this thread use
// one path while the object lives. An unsupported path is refused
// (Engaged() is false and nothing changes).
class AesPathOverride {
public:
    explicit AesPathOverride(AesPath path);
    ~AesPathOverride();
    AesPathOverride(const AesPathOverride&) = delete;
    AesPathOverride& operator=(const AesPathOverride&) = delete;
    bool Engaged() const { return engaged_; }

private:
    bool engaged_ = false;
    int saved_ = -1;
};
