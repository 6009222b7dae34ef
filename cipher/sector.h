// 512-byte units: every 16-byte block on its own (ECB), and unit 0's marker
// block under the fixed key.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cipher/aes.h"

constexpr size_t kUnitSize = 512;
constexpr size_t kMarkerOffset = 510;  // bytes 510/511 of unit 0
constexpr uint8_t kMarker0 = 0x51;     // 'Q'
constexpr uint8_t kMarker1 = 0x4D;     // 'M'

// Blocks 0..31 in place with the user key.
void EncryptSector(const KEY_SCHEDULE* userKey, uint8_t* unit);
void DecryptSector(const KEY_SCHEDULE* userKey, uint8_t* unit);

// Blocks 0..30 with the user key, block 31 with the fixed key. The caller has
// already put the marker into bytes 510/511.
void EncryptSectorZero(const KEY_SCHEDULE* userKey, const KEY_SCHEDULE* fixedKey, uint8_t* unit);
// userKey may be null: blocks 0..30 are then left untouched; block 31 is
// always decrypted with the fixed key.
void DecryptSectorZero(const KEY_SCHEDULE* userKey, const KEY_SCHEDULE* fixedKey, uint8_t* unit);

// The unit procedures. deviceOffset is the unit's byte offset on the device;
// only offset 0 gets the marker treatment.
void WriteUnit(const KEY_SCHEDULE* userKey, const KEY_SCHEDULE* fixedKey, uint64_t deviceOffset, uint8_t* unit);
void ReadUnit(const KEY_SCHEDULE* userKey, const KEY_SCHEDULE* fixedKey, uint64_t deviceOffset, uint8_t* unit);

// Transforms a whole transfer in place, unit by unit, the unit at transfer
// position p having device offset startOffset + p. A trailing partial unit
// (length not a multiple of 512) is left as it is: no byte beyond length is
// ever read or written.
void EncryptTransfer(const KEY_SCHEDULE* userKey, const KEY_SCHEDULE* fixedKey,
                     uint64_t startOffset, uint8_t* data, size_t length);
void DecryptTransfer(const KEY_SCHEDULE* userKey, const KEY_SCHEDULE* fixedKey,
                     uint64_t startOffset, uint8_t* data, size_t length);

// Marker test on a copy of unit 0 (fixed key only): true when the decrypted
// bytes 510/511 are 'Q' 'M'. The caller's bytes are not changed.
bool UnitZeroHasMarker(const KEY_SCHEDULE* fixedKey, const uint8_t* unit0);
