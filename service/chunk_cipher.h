// The conversion loops' transform of one 64 KiB chunk: every whole 16-byte
// block on its own with the password key, except block 31 of the medium's
// first unit, which carries the marker under the fixed key. A trailing
// remainder under 16 bytes stays as it is.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cipher/keys.h"

constexpr size_t kChunkSize = 65536;

// Sets 'Q' 'M' at bytes 510/511 of unit 0 before encrypting it.
void EncryptChunk(const SectorKeys& keys, uint64_t chunkIndex, uint8_t* data, size_t length);
// Image decryption: unit 0's bytes 510/511 end as 0x55 0xAA when it is a
// boot sector or master boot record, otherwise as 0x00 0x00.
void DecryptImageChunk(const SectorKeys& keys, uint64_t chunkIndex, uint8_t* data, size_t length);
