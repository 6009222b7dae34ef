// Hooks for tests (not Windows API): pool accounting per tag and fault
// injection, so a test can check that a request path gave back all it took
// and how a driver copes when the kernel says no.
#pragma once

#include "wdm.h"

// Tags under which the I/O manager itself allocates.
#define NT_TAG_IRP 0x20707249u            // "Irp " in memory
#define NT_TAG_MDL 0x206C644Du            // "Mdl " in memory
#define NT_TAG_SYSTEM_BUFFER 0x73736F49u  // "Ioss" in memory

#ifdef __cplusplus
extern "C" {
#endif

// Blocks currently allocated with Tag, and their total size in bytes.
ULONG NtPoolOutstanding(_In_ ULONG Tag);
SIZE_T NtPoolOutstandingBytes(_In_ ULONG Tag);
// Blocks currently allocated under any tag.
ULONG NtPoolOutstandingTotal(void);

// Makes the Nth allocation with Tag from now on fail (1 = the next one);
// 0 cancels. Applies to ExAllocatePool*, and through NT_TAG_IRP,
// NT_TAG_MDL and NT_TAG_SYSTEM_BUFFER to IoAllocateIrp, IoAllocateMdl and
// the I/O manager's buffered copies.
VOID NtPoolFailAllocation(_In_ ULONG Tag, _In_ ULONG Nth);
// Makes the next Count calls of MmMapLockedPagesSpecifyCache (and so
// MmGetSystemAddressForMdlSafe on an unmapped MDL) fail.
VOID NtMdlFailMapping(_In_ ULONG Count);
// Cancels every injected fault.
VOID NtResetFaults(void);

// Pointer references currently held on an object made by this layer.
LONG_PTR NtObjectPointerCount(_In_ PVOID Object);

#ifdef __cplusplus
}
#endif
