// Object headers and pointer reference counts.
#include <cstdlib>
#include <new>

#include "private/object.h"
#include "testing.h"

namespace tarn::nt {

namespace {

constexpr ULONG kInvalidObjectReference = 0x18;  // REFERENCE_BY_POINTER

}  // namespace

_OBJECT_TYPE ObDirectoryType{"Directory", 0x65726944 /* "Dire" */, nullptr};
_OBJECT_TYPE ObSymbolicLinkType{"SymbolicLink", 0x626D7953 /* "Symb" */, nullptr};

ObjectHeader* CheckedHeaderOf(PVOID Body) {
  if (Body == nullptr || (reinterpret_cast<ULONG_PTR>(Body) & 15) != 0)
    KeBugCheckEx(kInvalidObjectReference, (ULONG_PTR)Body, 0, 0, 0);
  ObjectHeader* h = HeaderOf(Body);
  if (h->Magic != kObjectMagic) KeBugCheckEx(kInvalidObjectReference, (ULONG_PTR)Body, 1, 0, 0);
  return h;
}

PVOID CreateObject(_OBJECT_TYPE* Type, SIZE_T BodySize, bool OutsidePool) {
  static_assert(sizeof(ObjectHeader) % 16 == 0);
  SIZE_T size = sizeof(ObjectHeader) + BodySize;
  void* block = OutsidePool ? aligned_alloc(16, (size + 15) & ~SIZE_T(15))
                            : ExAllocatePoolWithTag(NonPagedPool, size, Type->PoolTag);
  if (block == nullptr) return nullptr;
  auto* h = new (block) ObjectHeader();
  h->Type = Type;
  h->OutsidePool = OutsidePool;
  PVOID body = BodyOf(h);
  memset(body, 0, BodySize);
  return body;
}

}  // namespace tarn::nt

using namespace tarn::nt;

extern "C" LONG_PTR ObfReferenceObject(PVOID Object) {
  ObjectHeader* h = CheckedHeaderOf(Object);
  LONG_PTR n = h->PointerCount.fetch_add(1) + 1;
  if (n <= 1) KeBugCheckEx(kInvalidObjectReference, (ULONG_PTR)Object, 2, n, 0);  // revived a dead object
  return n;
}

extern "C" LONG_PTR ObfDereferenceObject(PVOID Object) {
  ObjectHeader* h = CheckedHeaderOf(Object);
  LONG_PTR n = h->PointerCount.fetch_sub(1) - 1;
  if (n < 0) KeBugCheckEx(kInvalidObjectReference, (ULONG_PTR)Object, 3, n, 0);
  if (n == 0) {
    if (h->Type->DeleteProcedure != nullptr) h->Type->DeleteProcedure(Object);
    ULONG tag = h->Type->PoolTag;
    bool outsidePool = h->OutsidePool;
    h->Magic = 0;
    h->~ObjectHeader();
    if (outsidePool)
      free(h);
    else
      ExFreePoolWithTag(h, tag);
  }
  return n;
}

extern "C" NTSTATUS ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                               KPROCESSOR_MODE AccessMode) {
  (void)DesiredAccess;
  (void)AccessMode;
  ObjectHeader* h = CheckedHeaderOf(Object);
  if (ObjectType != nullptr && h->Type != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
  ObfReferenceObject(Object);
  return STATUS_SUCCESS;
}

extern "C" LONG_PTR NtObjectPointerCount(PVOID Object) { return CheckedHeaderOf(Object)->PointerCount.load(); }

namespace {
// Events are not named or handed out by handle here; the type exists so
// drivers can name it.
_OBJECT_TYPE ObEventType{"Event", 0x6E657645 /* "Even" */, nullptr};
POBJECT_TYPE EventTypePointer = &ObEventType;
}  // namespace

POBJECT_TYPE* ExEventObjectType = &EventTypePointer;
