#include "service/chunk_cipher.h"

#include "cipher/sector.h"

namespace {
constexpr size_t kBlock = 16;

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

// Whether decrypted unit 0 is a boot sector (a jump and a sound sector size)
// or a master boot record (four entries with sound boot flags, one in use).
// Those had the signature 0x55 0xAA where the marker went.
bool HeldBootSignature(const uint8_t* unit) {
    const bool jump = (unit[0] == 0xEB && unit[2] == 0x90) || unit[0] == 0xE9;
    const uint16_t sector = Le16(unit + 11);
    if (jump && (sector == 512 || sector == 1024 || sector == 2048 || sector == 4096)) return true;
    bool used = false;
    for (int i = 0; i < 4; ++i) {
        const uint8_t* entry = unit + 446 + 16 * i;
        if (entry[0] != 0x00 && entry[0] != 0x80) return false;
        used |= entry[4] != 0;
    }
    return used;
}
}  // namespace

void EncryptChunk(const SectorKeys& keys, uint64_t chunkIndex, uint8_t* data, size_t length) {
    const size_t units = length / kUnitSize * kUnitSize;
    // Whole units in one run (the marker rule applies at offset 0).
    EncryptTransfer(&keys.User, &keys.Fixed, chunkIndex * kChunkSize, data, units);
    for (size_t p = units; p + kBlock <= length; p += kBlock) AesEncryptBlock(&keys.User, data + p, data + p);
}

void DecryptImageChunk(const SectorKeys& keys, uint64_t chunkIndex, uint8_t* data, size_t length) {
    const size_t units = length / kUnitSize * kUnitSize;
    DecryptTransfer(&keys.User, &keys.Fixed, chunkIndex * kChunkSize, data, units);
    if (chunkIndex == 0 && units > 0) {
        // The marker took the place of bytes 510/511. A disk image's boot
        // record gets its signature back, or it would no longer mount; other
        // images (an ISO file's empty first sectors) get zeros.
        if (!HeldBootSignature(data)) {
            data[kMarkerOffset] = 0x00;
            data[kMarkerOffset + 1] = 0x00;
        }
    }
    for (size_t p = units; p + kBlock <= length; p += kBlock) AesDecryptBlock(&keys.User, data + p, data + p);
}
