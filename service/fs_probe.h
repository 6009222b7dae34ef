// The recognizer's test, on bytes in memory: does the start of a medium hold
// a file system this machine knows (FAT12/16/32, ext2/3/4, ISO 9660)? Used
// to tell a right password from a wrong one before a conversion resumes.
#pragma once

#include <cstddef>
#include <cstdint>

// data: the medium's first bytes (a whole first chunk when there is one).
bool LooksLikeFileSystem(const uint8_t* data, size_t length);

// Evidence that a password decrypted real data: a 16-byte block that came
// out all zero (free space, padding), which a wrong key gives with odds of
// one in 2^128.
bool HasZeroBlock(const uint8_t* data, size_t length);
