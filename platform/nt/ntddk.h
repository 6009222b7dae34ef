// Umbrella header for kernel-mode drivers: the driver kit's names, types and
// semantics on host threads. Where this layer differs from the real kernel:
//
// - WCHAR is char16_t, so wide literals are written u"..." (L"..." is 32-bit
//   here). Byte lengths of counted strings and records stay as on Windows.
// - Driver faults that stop a Windows machine (bad pool frees, completing a
//   request twice, waiting with a spin lock held, recursive fast mutex)
//   print "*** STOP: 0x..." and abort the process. A few stops have codes of
//   this layer's own (0xDEADxxxx) where Windows would silently corrupt.
// - A creator-owned request (IoAllocateIrp, IoBuildAsynchronousFsdRequest)
//   that no completion routine stops is such a fault.
// - IRQL is tracked per thread for these checks; it does not change how
//   threads are scheduled. Priorities are recorded only.
// - FIXME: KeWaitForMultipleObjects returns STATUS_NOT_IMPLEMENTED;
//   IoGetDeviceObjectPointer sends no IRP_MJ_CREATE.
#pragma once

#include "wdm.h"
