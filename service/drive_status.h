// The drive status code of SvcQueryDrive: low four bits the state (0 plain,
// 1 encrypted and unlocked, 2 encrypted and locked, 3 undetermined) and the
// flag bits 0x10000 (plain, writable), 0x40000 (writable), 0x80000 (key loaded).
#pragma once

#include <cstdint>

// answered: the volume opened and the filter answered the marker query.
int32_t ComposeDriveStatus(bool answered, bool encrypted, bool writable, bool fileSystemReadable);
