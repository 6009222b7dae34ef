// Request packet internals shared by the I/O manager's files.
#pragma once

#include "../wdm.h"

namespace tarn::nt {

// Irp->AllocationFlags bits of this layer.
inline constexpr UCHAR kIrpFromPool = 0x10;        // IoAllocateIrp: IoFreeIrp may free it
inline constexpr UCHAR kIrpIoManagerOwned = 0x20;  // finished by the I/O manager at the top
inline constexpr UCHAR kIrpAsyncFsd = 0x40;        // IoBuildAsynchronousFsdRequest

// Kept after the stack locations of pool IRPs.
struct IrpPrivate {
  ULONG CopyLength;  // bytes of UserBuffer to refill from the system buffer
  BOOLEAN CopiedBack;
};

inline IrpPrivate* PrivateOf(PIRP Irp) {
  if (!(Irp->AllocationFlags & kIrpFromPool)) return nullptr;
  return reinterpret_cast<IrpPrivate*>(reinterpret_cast<char*>(Irp) + IoSizeOfIrp(Irp->StackCount));
}

}  // namespace tarn::nt
