#include "service/chunk_cipher.h"

#include "cipher/sector.h"

namespace {
constexpr size_t kBlock = 16;
}

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
        // Images get zeros back where the marker was, not a boot signature.
        data[kMarkerOffset] = 0x00;
        data[kMarkerOffset + 1] = 0x00;
    }
    for (size_t p = units; p + kBlock <= length; p += kBlock) AesDecryptBlock(&keys.User, data + p, data + p);
}
