// The unit procedures. A transfer is one ECB run over all its whole units with
// the user key; only unit 0's last block is then redone with the fixed key, so
// the long loop has no per-unit branch.
#include "cipher/sector.h"

#include <cstring>

#include "cipher/backend.h"
#include "cipher/keys.h"

namespace {

constexpr size_t kBlockSize = 16;
constexpr size_t kUnitBlocks = kUnitSize / kBlockSize;
constexpr size_t kMarkerBlock = kUnitSize - kBlockSize;  // bytes 496..511

void Encrypt(const KEY_SCHEDULE* key, uint8_t* data, size_t blocks) {
    AesEncryptBlocks(AesCurrentPath(), key, data, data, blocks);
}

void Decrypt(const KEY_SCHEDULE* key, uint8_t* data, size_t blocks) {
    AesDecryptBlocks(AesCurrentPath(), key, data, data, blocks);
}

void SetMarker(uint8_t* unit0) {
    unit0[kMarkerOffset] = kMarker0;
    unit0[kMarkerOffset + 1] = kMarker1;
}

bool HasMarker(const uint8_t* unit0) {
    return unit0[kMarkerOffset] == kMarker0 && unit0[kMarkerOffset + 1] == kMarker1;
}

// File systems must see an ordinary boot signature where the marker is.
void RestoreBootSignature(uint8_t* unit0) {
    if (!HasMarker(unit0)) return;
    unit0[kMarkerOffset] = 0x55;
    unit0[kMarkerOffset + 1] = 0xAA;
}

}  // namespace

void EncryptSector(const KEY_SCHEDULE* userKey, uint8_t* unit) {
    Encrypt(userKey, unit, kUnitBlocks);
}

void DecryptSector(const KEY_SCHEDULE* userKey, uint8_t* unit) {
    Decrypt(userKey, unit, kUnitBlocks);
}

void EncryptSectorZero(const KEY_SCHEDULE* userKey, const KEY_SCHEDULE* fixedKey, uint8_t* unit) {
    Encrypt(userKey, unit, kUnitBlocks - 1);
    Encrypt(fixedKey, unit + kMarkerBlock, 1);
}

void DecryptSectorZero(const KEY_SCHEDULE* userKey, const KEY_SCHEDULE* fixedKey, uint8_t* unit) {
    if (userKey != nullptr) Decrypt(userKey, unit, kUnitBlocks - 1);
    Decrypt(fixedKey, unit + kMarkerBlock, 1);
}

void WriteUnit(const KEY_SCHEDULE* userKey, const KEY_SCHEDULE* fixedKey, uint64_t deviceOffset, uint8_t* unit) {
    if (deviceOffset != 0) {
        EncryptSector(userKey, unit);
        return;
    }
    SetMarker(unit);
    EncryptSectorZero(userKey, fixedKey, unit);
}

void ReadUnit(const KEY_SCHEDULE* userKey, const KEY_SCHEDULE* fixedKey, uint64_t deviceOffset, uint8_t* unit) {
    if (deviceOffset != 0) {
        DecryptSector(userKey, unit);
        return;
    }
    DecryptSectorZero(userKey, fixedKey, unit);
    RestoreBootSignature(unit);
}

void EncryptTransfer(const KEY_SCHEDULE* userKey, const KEY_SCHEDULE* fixedKey,
                     uint64_t startOffset, uint8_t* data, size_t length) {
    const size_t blocks = (length / kUnitSize) * kUnitBlocks;
    if (data == nullptr || blocks == 0) return;
    const AesPath path = AesCurrentPath();
    if (startOffset != 0) {
        AesEncryptBlocks(path, userKey, data, data, blocks);
        return;
    }
    SetMarker(data);
    uint8_t markerBlock[kBlockSize];
    std::memcpy(markerBlock, data + kMarkerBlock, kBlockSize);
    AesEncryptBlocks(path, userKey, data, data, blocks);
    AesEncryptBlocks(path, fixedKey, markerBlock, data + kMarkerBlock, 1);
    SecureWipe(markerBlock, sizeof(markerBlock));
}

void DecryptTransfer(const KEY_SCHEDULE* userKey, const KEY_SCHEDULE* fixedKey,
                     uint64_t startOffset, uint8_t* data, size_t length) {
    const size_t blocks = (length / kUnitSize) * kUnitBlocks;
    if (data == nullptr || blocks == 0) return;
    const AesPath path = AesCurrentPath();
    if (startOffset != 0) {
        AesDecryptBlocks(path, userKey, data, data, blocks);
        return;
    }
    uint8_t storedBlock[kBlockSize];
    std::memcpy(storedBlock, data + kMarkerBlock, kBlockSize);
    AesDecryptBlocks(path, userKey, data, data, blocks);
    AesDecryptBlocks(path, fixedKey, storedBlock, data + kMarkerBlock, 1);
    RestoreBootSignature(data);
}

bool UnitZeroHasMarker(const KEY_SCHEDULE* fixedKey, const uint8_t* unit0) {
    if (fixedKey == nullptr || unit0 == nullptr) return false;
    uint8_t block[kBlockSize];
    AesDecryptBlocks(AesCurrentPath(), fixedKey, unit0 + kMarkerBlock, block, 1);
    const bool marked = block[kBlockSize - 2] == kMarker0 && block[kBlockSize - 1] == kMarker1;
    SecureWipe(block, sizeof(block));
    return marked;
}
