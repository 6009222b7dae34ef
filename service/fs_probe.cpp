#include "service/fs_probe.h"

#include <cstring>

namespace {

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

bool PowerOfTwo(unsigned v) { return v != 0 && (v & (v - 1)) == 0; }

// A FAT boot sector: the jump, a sane geometry and the boot signature.
bool LooksLikeFat(const uint8_t* s) {
    const unsigned bytesPerSector = Le16(s + 11);
    const unsigned sectorsPerCluster = s[13];
    const unsigned reserved = Le16(s + 14);
    const unsigned fats = s[16];
    const bool jump = s[0] == 0xEB || s[0] == 0xE9;
    return jump && s[510] == 0x55 && s[511] == 0xAA && PowerOfTwo(bytesPerSector) && bytesPerSector >= 512 &&
           bytesPerSector <= 4096 && PowerOfTwo(sectorsPerCluster) && reserved > 0 && (fats == 1 || fats == 2) &&
           (s[21] == 0xF0 || s[21] >= 0xF8);
}

}  // namespace

bool LooksLikeFileSystem(const uint8_t* data, size_t length) {
    if (length >= 512 && LooksLikeFat(data)) return true;
    // ext2/3/4: the superblock at 1024, its magic at 56.
    if (length >= 1024 + 58 && Le16(data + 1024 + 56) == 0xEF53) return true;
    // ISO 9660: the first volume descriptor at 32768.
    if (length >= 32768 + 6 && std::memcmp(data + 32769, "CD001", 5) == 0) return true;
    return false;
}

bool HasZeroBlock(const uint8_t* data, size_t length) {
    static const uint8_t kZero[16] = {};
    for (size_t p = 0; p + 16 <= length; p += 16)
        if (std::memcmp(data + p, kZero, 16) == 0) return true;
    return false;
}
