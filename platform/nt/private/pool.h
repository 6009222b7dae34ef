// Pool allocations of the I/O manager itself.
#pragma once

#include "../wdm.h"

namespace tarn::nt {

// A pool block of Length bytes whose first CopyLength bytes are a copy of
// Source (a request's input); only the rest gets the uninitialised pattern,
// since filling bytes that are overwritten at once is a wasted pass over a
// transfer. Counted, tagged and failed by injection as ExAllocatePoolWithTag.
PVOID AllocatePoolCopyOf(SIZE_T Length, ULONG Tag, const void* Source, SIZE_T CopyLength);

}  // namespace tarn::nt
