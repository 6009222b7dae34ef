// Memory descriptor lists. One address space: an MDL's system address is its
// buffer's own address, and the flags record what the driver did to it.
#include <atomic>

#include "testing.h"

namespace {

std::atomic<ULONG> MappingFailures{0};

// Takes one injected failure, if any is pending.
bool MappingFaultInjected() {
  ULONG n = MappingFailures.load();
  while (n != 0 && !MappingFailures.compare_exchange_weak(n, n - 1)) {
  }
  return n != 0;
}

}  // namespace

VOID NtMdlResetFaults() { MappingFailures = 0; }

extern "C" VOID NtMdlFailMapping(ULONG Count) { MappingFailures = Count; }

extern "C" PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                              PIRP Irp) {
  (void)ChargeQuota;
  if (Length == 0 || Length > 0xFFFFFFFFu - PAGE_SIZE) return nullptr;
  auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), NT_TAG_MDL));
  if (mdl == nullptr) return nullptr;
  memset(mdl, 0, sizeof(MDL));
  mdl->Size = sizeof(MDL);
  mdl->StartVa = PAGE_ALIGN(VirtualAddress);
  mdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
  mdl->ByteCount = Length;
  if (Irp != nullptr) {
    if (SecondaryBuffer && Irp->MdlAddress != nullptr) {
      PMDL last = Irp->MdlAddress;
      while (last->Next != nullptr) last = last->Next;
      last->Next = mdl;
    } else {
      Irp->MdlAddress = mdl;
    }
  }
  return mdl;
}

extern "C" VOID IoFreeMdl(PMDL Mdl) {
  if (Mdl->MdlFlags & MDL_PAGES_LOCKED)
    DbgPrint("IoFreeMdl: MDL %p freed with its pages still locked\n", (void*)Mdl);
  ExFreePoolWithTag(Mdl, NT_TAG_MDL);
}

extern "C" VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
  MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

extern "C" VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
  (void)AccessMode;
  if (MemoryDescriptorList->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))
    KeBugCheckEx(0x76 /* PROCESS_HAS_LOCKED_PAGES */, (ULONG_PTR)MemoryDescriptorList, 0, 0, 0);
  MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
  if (Operation != IoReadAccess) MemoryDescriptorList->MdlFlags |= MDL_WRITE_OPERATION;
}

extern "C" VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  (void)BaseAddress;
  if (!(MemoryDescriptorList->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)) return;
  MemoryDescriptorList->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
  MemoryDescriptorList->MappedSystemVa = nullptr;
}

extern "C" VOID MmUnlockPages(PMDL MemoryDescriptorList) {
  if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED))
    KeBugCheckEx(0x4E /* PFN_LIST_CORRUPT */, 7, (ULONG_PTR)MemoryDescriptorList, 0, 0);
  MmUnmapLockedPages(MemoryDescriptorList->MappedSystemVa, MemoryDescriptorList);
  MemoryDescriptorList->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
}

extern "C" PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                              MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                              ULONG BugCheckOnFailure, ULONG Priority) {
  (void)CacheType;
  (void)RequestedAddress;
  (void)Priority;
  PMDL mdl = MemoryDescriptorList;
  if (AccessMode != KernelMode) {
    DbgPrint("MmMapLockedPagesSpecifyCache: user-mode mappings are not supported\n");  // FIXME: user mappings
    return nullptr;
  }
  if (mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) return mdl->MappedSystemVa;
  if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) {
    DbgPrint("MmMapLockedPagesSpecifyCache: MDL %p is not locked\n", (void*)mdl);
    return nullptr;
  }
  if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) return mdl->MappedSystemVa;
  if (MappingFaultInjected()) {
    if (BugCheckOnFailure) KeBugCheckEx(0x3F /* NO_MORE_SYSTEM_PTES */, 0, mdl->ByteCount, 0, 0);
    return nullptr;
  }
  mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return mdl->MappedSystemVa;
}
