// The drive status word of SvcQueryDrive: the state in the low four bits
// and the flags 0x10000 (plain, writable), 0x40000 (encrypted, writable),
// 0x80000 (encrypted, readable), 0x20000 (encrypted, locked).
#pragma once

#include <cstdint>
#include <string>

namespace tarnctl {

enum DriveState : uint32_t {
    kStatePlain = 0,
    kStateUnlocked = 1,
    kStateLocked = 2,
    kStateUnknown = 3,
};

inline uint32_t StateOf(uint32_t status) { return status & 0xF; }
// Encrypt, decrypt and format are possible.
inline bool WritableStatus(uint32_t status) { return (status & 0x50000) != 0; }

// Whether the word is one the service gives. Anything else is a transport
// failure's code that came back in the status word's place.
bool KnownStatus(uint32_t status);

// The word in words: "plain", "plain, read-only", "encrypted, unlocked",
// "encrypted, unlocked, read-only", "encrypted, locked", "not recognised",
// or "error" for a word the service does not give.
std::string DescribeStatus(uint32_t status);

// "removable", "fixed", "network", "cdrom", "ramdisk", "unknown".
std::string DescribeDriveType(unsigned type);

}  // namespace tarnctl
