// Object manager internals shared by the kernel layer's files: the header in
// front of every object, object types, handles and the namespace.
#pragma once

#include <atomic>
#include <string>

#include "../wdm.h"

// An object type: its name, the pool tag its objects are counted under and
// what to do with the body before the memory goes.
struct _OBJECT_TYPE {
  const char* Name;
  ULONG PoolTag;
  void (*DeleteProcedure)(PVOID Body);
};

namespace tarn::nt {

inline constexpr uint64_t kObjectMagic = 0x4A424F4E5241544Eull;

// Lives directly in front of the body. PointerCount is atomic; HandleCount,
// Permanent and the namespace fields are guarded by the namespace lock.
struct alignas(16) ObjectHeader {
  uint64_t Magic = kObjectMagic;
  std::atomic<LONG_PTR> PointerCount{1};
  LONG HandleCount = 0;
  bool Permanent = false;
  bool Named = false;  // entered in a directory
  bool OutsidePool = false;  // memory not counted under the type's pool tag
  _OBJECT_TYPE* Type = nullptr;
  ObjectHeader* Parent = nullptr;  // directory holding the name, referenced
  std::u16string Name;
};

inline PVOID BodyOf(ObjectHeader* h) { return reinterpret_cast<char*>(h) + sizeof(ObjectHeader); }
inline ObjectHeader* HeaderOf(PVOID body) {
  return reinterpret_cast<ObjectHeader*>(reinterpret_cast<char*>(body) - sizeof(ObjectHeader));
}
// The header of a body, or a bug check when Body is not an object of ours.
ObjectHeader* CheckedHeaderOf(PVOID Body);

extern _OBJECT_TYPE ObDeviceType;
extern _OBJECT_TYPE ObDriverType;
extern _OBJECT_TYPE ObFileType;
extern _OBJECT_TYPE ObThreadType;
extern _OBJECT_TYPE ObDirectoryType;
extern _OBJECT_TYPE ObSymbolicLinkType;

// Allocates a zeroed body of BodySize bytes with a pointer count of 1.
// NULL when the pool says no. OutsidePool objects (the layer's own
// bookkeeping, such as objects for threads that merely call in) are not
// counted under the type's tag, so they never show up in a test's pool
// balance.
PVOID CreateObject(_OBJECT_TYPE* Type, SIZE_T BodySize, bool OutsidePool = false);

// Handles. A handle holds one pointer reference and one handle count.
NTSTATUS CreateHandle(PVOID Object, ACCESS_MASK Access, PHANDLE Handle);

// Namespace.
struct LookupResult {
  PVOID Object = nullptr;  // referenced
  std::u16string Remaining;  // path left over below a non-directory object
};
// Resolves Name (absolute, or relative to Root when Root is a directory).
// FollowLast: whether a symbolic link named by the last component is
// followed. AllowRemaining: whether a path may continue below a
// non-directory object.
NTSTATUS LookupObject(PVOID Root, std::u16string_view Name, bool FollowLast, bool AllowRemaining,
                      LookupResult* Result);
// Enters Object under Name (its directory must exist). Takes a pointer
// reference for the namespace. OpenIf: an existing object of the same type
// is returned referenced in *Existing with STATUS_OBJECT_NAME_EXISTS.
NTSTATUS InsertObject(PVOID Object, PVOID Root, std::u16string_view Name, bool Permanent, bool OpenIf,
                      PVOID* Existing);
// Removes the object's name now, whatever its handles.
VOID RemoveObjectName(PVOID Object);
// Called by the handle table when a handle is made or closed.
VOID AddHandleCount(PVOID Object);
VOID ReleaseHandleCount(PVOID Object);
std::u16string FullName(PVOID Object);

std::u16string ToU16(PCUNICODE_STRING s);
std::u16string ToU16(PCWSTR s);

}  // namespace tarn::nt
