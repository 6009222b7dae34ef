// What a Linux caller of the block view sees for a request's final status.
#pragma once

#include "platform/nt/ntddk.h"

namespace tarn::host::fuse {

// A positive errno for a failure status, 0 for success and for warnings and
// informational statuses (the transfer's byte count says what moved).
int ErrnoOfStatus(NTSTATUS status);

}  // namespace tarn::host::fuse
