// The kernel handle table.
#include <unordered_map>

#include "private/object.h"
#include "private/protected.h"

namespace {

struct HandleEntry {
  PVOID Object;
  ACCESS_MASK Access;
};

struct HandleTable {
  std::unordered_map<ULONG_PTR, HandleEntry> Entries;
  ULONG_PTR Next = 1;
};

tarn::nt::Protected<HandleTable>& Table() {
  static auto* table = new tarn::nt::Protected<HandleTable>();
  return *table;
}

// Kernel handles have the top bit set, as on Windows, and are multiples of 4.
constexpr ULONG_PTR kKernelHandleBit = ULONG_PTR(1) << 63;

}  // namespace

namespace tarn::nt {

NTSTATUS CreateHandle(PVOID Object, ACCESS_MASK Access, PHANDLE Handle) {
  ObfReferenceObject(Object);
  AddHandleCount(Object);
  auto table = Table().lock();
  ULONG_PTR value = kKernelHandleBit | (table->Next++ << 2);
  table->Entries.emplace(value, HandleEntry{Object, Access});
  *Handle = reinterpret_cast<HANDLE>(value);
  return STATUS_SUCCESS;
}

}  // namespace tarn::nt

extern "C" NTSTATUS ZwClose(HANDLE Handle) {
  HandleEntry entry;
  {
    auto table = Table().lock();
    auto it = table->Entries.find(reinterpret_cast<ULONG_PTR>(Handle));
    if (it == table->Entries.end()) return STATUS_INVALID_HANDLE;
    entry = it->second;
    table->Entries.erase(it);
  }
  tarn::nt::ReleaseHandleCount(entry.Object);
  ObfDereferenceObject(entry.Object);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                              KPROCESSOR_MODE AccessMode, PVOID* Object,
                                              POBJECT_HANDLE_INFORMATION HandleInformation) {
  (void)DesiredAccess;
  (void)AccessMode;
  *Object = nullptr;
  // The reference is taken with the table locked, so a concurrent ZwClose
  // cannot free the object in between.
  auto table = Table().lock();
  auto it = table->Entries.find(reinterpret_cast<ULONG_PTR>(Handle));
  if (it == table->Entries.end()) return STATUS_INVALID_HANDLE;
  if (ObjectType != nullptr && tarn::nt::CheckedHeaderOf(it->second.Object)->Type != ObjectType)
    return STATUS_OBJECT_TYPE_MISMATCH;
  ObfReferenceObject(it->second.Object);
  *Object = it->second.Object;
  if (HandleInformation != nullptr) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = it->second.Access;
  }
  return STATUS_SUCCESS;
}
