// After the key goes to the filter of a drive whose marker it has not seen
// (a first encryption's completion), the filter still passes writes through
// unencrypted until it reads unit 0. The worker's unlock comes before the
// dismount whose read would show it the marker, so a write by another
// handle in between would land in plaintext on the encrypted drive.
#pragma once

#include "service/win32.h"

// Reads the start of the volume (unit 0) through its stack while the caller
// still holds the lock; the filter finds the marker and encrypts every write
// from then on. The bytes read are wiped. False when the read failed.
bool ShowMarkerToFilter(HANDLE volume);
