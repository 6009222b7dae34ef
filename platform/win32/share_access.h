// Windows sharing modes between handles of any process, emulated with OFD
// locks on bytes far beyond any file data (Linux has no mandatory sharing).
//
// Each open with data access holds shared locks that announce the access it
// has and the sharing it denies; an open checks for announcements that
// conflict with its own. It announces first and checks afterwards, so of two
// conflicting opens racing each other at least one sees the other (both may
// fail then; Windows would let one of them win). The locks go with the open
// file description, so they last exactly as long as the handle's descriptor.
#pragma once

#include "windef.h"

namespace tarn::win32 {

// `lockFd` must be open for reading on the file. access and shareMode use the
// FILE_SHARE_* bit layout. Returns ERROR_SUCCESS, ERROR_SHARING_VIOLATION,
// or the error of a failed lock call. On file systems without locks the
// sharing modes are not enforced.
DWORD AcquireShareAccess(int lockFd, unsigned access, unsigned shareMode);

// Whether another open would refuse `access` (used before deleting a file).
// Announces nothing.
DWORD CheckShareAccess(int fd, unsigned access, unsigned shareMode);

}  // namespace tarn::win32
