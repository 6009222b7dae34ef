// The object namespace: directories, names and symbolic links.
#include <algorithm>
#include <map>
#include <new>
#include <unordered_map>
#include <vector>

#include "host.h"
#include "private/object.h"
#include "private/protected.h"

namespace tarn::nt {

namespace {

constexpr int kMaxReparse = 32;

struct SymbolicLinkBody {
  std::u16string Target;
};

void DeleteSymbolicLink(PVOID Body) { static_cast<SymbolicLinkBody*>(Body)->~SymbolicLinkBody(); }

std::u16string Fold(std::u16string_view s) {
  std::u16string r(s);
  for (auto& c : r)
    if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
  return r;
}

// Directory contents by folded name; the Named/Parent/Name/HandleCount/
// Permanent fields of every object header are guarded by the same lock.
struct Namespace {
  PVOID Root = nullptr;
  std::unordered_map<PVOID, std::map<std::u16string, PVOID>> Dirs;
};

using Deferred = std::vector<PVOID>;  // references to drop once the lock is gone

bool IsDirectory(PVOID o) { return HeaderOf(o)->Type == &ObDirectoryType; }
bool IsLink(PVOID o) { return HeaderOf(o)->Type == &ObSymbolicLinkType; }

void Link(Namespace& ns, PVOID Dir, PVOID Object, std::u16string_view Name, bool Permanent) {
  ObjectHeader* h = HeaderOf(Object);
  ns.Dirs[Dir][Fold(Name)] = Object;
  h->Named = true;
  h->Name = std::u16string(Name);
  h->Parent = HeaderOf(Dir);
  h->Permanent = Permanent;
  HeaderOf(Object)->PointerCount.fetch_add(1);  // the namespace's reference
  HeaderOf(Dir)->PointerCount.fetch_add(1);     // a name keeps its directory
}

void Unlink(Namespace& ns, PVOID Object, Deferred& deferred) {
  ObjectHeader* h = HeaderOf(Object);
  if (!h->Named) return;
  PVOID dir = BodyOf(h->Parent);
  ns.Dirs[dir].erase(Fold(h->Name));
  h->Named = false;
  h->Parent = nullptr;
  deferred.push_back(Object);
  deferred.push_back(dir);
}

void Release(const Deferred& deferred) {
  for (PVOID o : deferred) ObfDereferenceObject(o);
}

void DeleteDirectory(PVOID Body);

// The built-in directories and links are the layer's own and stay outside
// the pool counts.
PVOID MakeDirectory() {
  PVOID d = CreateObject(&ObDirectoryType, 16, true);
  if (d == nullptr) KeBugCheckEx(0x5D /* UNSUPPORTED_PROCESSOR: no memory at start */, 0, 0, 0, 0);
  return d;
}

PVOID MakeLinkObject(std::u16string_view Target, bool BuiltIn = false) {
  PVOID o = CreateObject(&ObSymbolicLinkType, sizeof(SymbolicLinkBody), BuiltIn);
  if (o == nullptr) return nullptr;
  new (o) SymbolicLinkBody{std::u16string(Target)};
  return o;
}

Protected<Namespace>& Ns() {
  static auto* ns = [] {
    ObDirectoryType.DeleteProcedure = DeleteDirectory;
    ObSymbolicLinkType.DeleteProcedure = DeleteSymbolicLink;
    auto* p = new Protected<Namespace>();
    auto g = p->lock();
    g->Root = MakeDirectory();
    g->Dirs[g->Root];
    auto dir = [&](PVOID parent, std::u16string_view name) {
      PVOID d = MakeDirectory();
      g->Dirs[d];
      Link(*g, parent, d, name, true);
      ObfDereferenceObject(d);
      return d;
    };
    auto link = [&](PVOID parent, std::u16string_view name, std::u16string_view target) {
      PVOID l = MakeLinkObject(target, true);
      Link(*g, parent, l, name, true);
      ObfDereferenceObject(l);
    };
    dir(g->Root, u"Device");
    dir(g->Root, u"Driver");
    PVOID global = dir(g->Root, u"GLOBAL??");
    link(g->Root, u"??", u"\\GLOBAL??");
    link(g->Root, u"DosDevices", u"\\??");
    link(global, u"Global", u"\\GLOBAL??");
    return p;
  }();
  return *ns;
}

void DeleteDirectory(PVOID Body) { Ns().lock()->Dirs.erase(Body); }

NTSTATUS Split(std::u16string_view Path, std::vector<std::u16string>* Parts) {
  Parts->clear();
  size_t i = 0;
  while (i < Path.size()) {
    size_t j = Path.find(u'\\', i);
    if (j == std::u16string_view::npos) j = Path.size();
    if (j == i) return STATUS_OBJECT_NAME_INVALID;
    Parts->emplace_back(Path.substr(i, j - i));
    i = j + 1;
    if (j + 1 == Path.size()) return STATUS_OBJECT_NAME_INVALID;  // trailing backslash
  }
  return STATUS_SUCCESS;
}

// Walks Path from Start (the root for absolute paths). On success *Found is
// the object (not referenced) and *Remaining what is left below a
// non-directory object.
NTSTATUS Walk(Namespace& ns, PVOID Start, std::u16string_view Path, bool FollowLast, PVOID* Found,
              std::u16string* Remaining) {
  std::u16string path(Path);
  PVOID dir = Start;
  if (!path.empty() && path[0] == u'\\') {
    dir = ns.Root;
    path.erase(0, 1);
  } else if (dir == nullptr) {
    return STATUS_OBJECT_PATH_SYNTAX_BAD;
  }
  std::vector<std::u16string> parts;
  for (int reparse = 0;; ++reparse) {
    NTSTATUS status = Split(path, &parts);
    if (!NT_SUCCESS(status)) return status;
    if (parts.empty()) {
      *Found = dir;
      Remaining->clear();
      return STATUS_SUCCESS;
    }
    bool restarted = false;
    for (size_t i = 0; i < parts.size() && !restarted; ++i) {
      auto& entries = ns.Dirs[dir];
      auto it = entries.find(Fold(parts[i]));
      bool last = i + 1 == parts.size();
      if (it == entries.end()) return last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
      PVOID o = it->second;
      if (IsLink(o) && (!last || FollowLast)) {
        if (reparse >= kMaxReparse) return STATUS_OBJECT_PATH_NOT_FOUND;
        std::u16string target = static_cast<SymbolicLinkBody*>(o)->Target;
        if (target.empty() || target[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        for (size_t k = i + 1; k < parts.size(); ++k) target += u'\\' + parts[k];
        path = target.substr(1);
        dir = ns.Root;
        restarted = true;
      } else if (last) {
        *Found = o;
        Remaining->clear();
        return STATUS_SUCCESS;
      } else if (IsDirectory(o)) {
        dir = o;
      } else {
        *Found = o;
        Remaining->clear();
        for (size_t k = i + 1; k < parts.size(); ++k) *Remaining += u'\\' + parts[k];
        return STATUS_SUCCESS;
      }
    }
  }
}

}  // namespace

std::u16string ToU16(PCUNICODE_STRING s) {
  if (s == nullptr || s->Buffer == nullptr) return {};
  return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::u16string ToU16(PCWSTR s) { return s == nullptr ? std::u16string() : std::u16string(s); }

NTSTATUS LookupObject(PVOID Root, std::u16string_view Name, bool FollowLast, bool AllowRemaining,
                      LookupResult* Result) {
  auto ns = Ns().lock();
  PVOID found = nullptr;
  std::u16string remaining;
  NTSTATUS status = Walk(*ns, Root, Name, FollowLast, &found, &remaining);
  if (!NT_SUCCESS(status)) return status;
  if (!remaining.empty() && !AllowRemaining) return STATUS_OBJECT_PATH_NOT_FOUND;
  HeaderOf(found)->PointerCount.fetch_add(1);
  Result->Object = found;
  Result->Remaining = std::move(remaining);
  return STATUS_SUCCESS;
}

NTSTATUS InsertObject(PVOID Object, PVOID Root, std::u16string_view Name, bool Permanent, bool OpenIf,
                      PVOID* Existing) {
  size_t cut = Name.rfind(u'\\');
  std::u16string_view parentPath = cut == std::u16string_view::npos ? std::u16string_view() : Name.substr(0, cut);
  std::u16string_view leaf = cut == std::u16string_view::npos ? Name : Name.substr(cut + 1);
  if (leaf.empty()) return STATUS_OBJECT_NAME_INVALID;
  if (cut == std::u16string_view::npos && Root == nullptr) return STATUS_OBJECT_PATH_SYNTAX_BAD;

  auto ns = Ns().lock();
  PVOID dir = nullptr;
  std::u16string remaining;
  std::u16string parent = cut == 0 ? u"\\" : std::u16string(parentPath);
  NTSTATUS status = parent.empty() ? (dir = Root, STATUS_SUCCESS) : Walk(*ns, Root, parent, true, &dir, &remaining);
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) status = STATUS_OBJECT_PATH_NOT_FOUND;
  if (!NT_SUCCESS(status)) return status;
  if (!remaining.empty() || !IsDirectory(dir)) return STATUS_OBJECT_PATH_NOT_FOUND;
  auto& entries = ns->Dirs[dir];
  auto it = entries.find(Fold(leaf));
  if (it != entries.end()) {
    if (OpenIf && HeaderOf(it->second)->Type == HeaderOf(Object)->Type) {
      HeaderOf(it->second)->PointerCount.fetch_add(1);
      *Existing = it->second;
      return STATUS_OBJECT_NAME_EXISTS;
    }
    return STATUS_OBJECT_NAME_COLLISION;
  }
  Link(*ns, dir, Object, leaf, Permanent);
  return STATUS_SUCCESS;
}

VOID RemoveObjectName(PVOID Object) {
  Deferred deferred;
  {
    auto ns = Ns().lock();
    Unlink(*ns, Object, deferred);
  }
  Release(deferred);
}

VOID AddHandleCount(PVOID Object) {
  auto ns = Ns().lock();
  HeaderOf(Object)->HandleCount++;
}

VOID ReleaseHandleCount(PVOID Object) {
  Deferred deferred;
  {
    auto ns = Ns().lock();
    ObjectHeader* h = HeaderOf(Object);
    if (--h->HandleCount == 0 && !h->Permanent) Unlink(*ns, Object, deferred);
  }
  Release(deferred);
}

std::u16string FullName(PVOID Object) {
  auto ns = Ns().lock();
  std::u16string name;
  for (ObjectHeader* h = HeaderOf(Object); h != nullptr && h->Named; h = h->Parent) name = u'\\' + h->Name + name;
  return name.empty() ? u"\\" : name;
}

namespace {

// Resolves the root directory handle of object attributes.
NTSTATUS RootOf(POBJECT_ATTRIBUTES Attributes, PVOID* Root) {
  *Root = nullptr;
  if (Attributes->RootDirectory == nullptr) return STATUS_SUCCESS;
  return ObReferenceObjectByHandle(Attributes->RootDirectory, 0, &ObDirectoryType, KernelMode, Root, nullptr);
}

void DropRoot(PVOID Root) {
  if (Root != nullptr) ObfDereferenceObject(Root);
}

NTSTATUS OpenByName(POBJECT_ATTRIBUTES Attributes, _OBJECT_TYPE* Type, bool FollowLast, ACCESS_MASK Access,
                    PHANDLE Handle) {
  if (Attributes == nullptr || Attributes->ObjectName == nullptr) return STATUS_OBJECT_NAME_INVALID;
  PVOID root;
  NTSTATUS status = RootOf(Attributes, &root);
  if (!NT_SUCCESS(status)) return status;
  LookupResult r;
  status = LookupObject(root, ToU16(Attributes->ObjectName), FollowLast, false, &r);
  DropRoot(root);
  if (!NT_SUCCESS(status)) return status;
  if (HeaderOf(r.Object)->Type != Type) {
    ObfDereferenceObject(r.Object);
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  status = CreateHandle(r.Object, Access, Handle);
  ObfDereferenceObject(r.Object);
  return status;
}

// Enters a new object under the attributes' name (if any) and gives a handle.
NTSTATUS InsertAndOpen(PVOID Object, POBJECT_ATTRIBUTES Attributes, bool AllowOpenIf, ACCESS_MASK Access,
                       PHANDLE Handle) {
  NTSTATUS status = STATUS_SUCCESS;
  PVOID existing = nullptr;
  if (Attributes != nullptr && Attributes->ObjectName != nullptr && Attributes->ObjectName->Length != 0) {
    PVOID root;
    status = RootOf(Attributes, &root);
    if (!NT_SUCCESS(status)) {
      ObfDereferenceObject(Object);
      return status;
    }
    status = InsertObject(Object, root, ToU16(Attributes->ObjectName), (Attributes->Attributes & OBJ_PERMANENT) != 0,
                          AllowOpenIf && (Attributes->Attributes & OBJ_OPENIF) != 0, &existing);
    DropRoot(root);
  }
  if (status == STATUS_OBJECT_NAME_EXISTS) {
    ObfDereferenceObject(Object);
    Object = existing;
  } else if (!NT_SUCCESS(status)) {
    ObfDereferenceObject(Object);
    return status;
  }
  NTSTATUS opened = CreateHandle(Object, Access, Handle);
  ObfDereferenceObject(Object);
  return NT_SUCCESS(opened) ? status : opened;
}

}  // namespace

}  // namespace tarn::nt

using namespace tarn::nt;

extern "C" VOID ObMakeTemporaryObject(PVOID Object) {
  Deferred deferred;
  {
    auto ns = Ns().lock();
    ObjectHeader* h = CheckedHeaderOf(Object);
    h->Permanent = false;
    if (h->HandleCount == 0) Unlink(*ns, Object, deferred);
  }
  Release(deferred);
}

extern "C" NTSTATUS ZwMakeTemporaryObject(HANDLE Handle) {
  PVOID object;
  NTSTATUS status = ObReferenceObjectByHandle(Handle, 0, nullptr, KernelMode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  ObMakeTemporaryObject(object);
  ObfDereferenceObject(object);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwCreateDirectoryObject(PHANDLE DirectoryHandle, ACCESS_MASK DesiredAccess,
                                            POBJECT_ATTRIBUTES ObjectAttributes) {
  Ns();  // the directory type's delete procedure is installed with the namespace
  PVOID dir = CreateObject(&ObDirectoryType, 16);
  if (dir == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  Ns().lock()->Dirs[dir];
  return InsertAndOpen(dir, ObjectAttributes, true, DesiredAccess, DirectoryHandle);
}

extern "C" NTSTATUS ZwOpenDirectoryObject(PHANDLE DirectoryHandle, ACCESS_MASK DesiredAccess,
                                          POBJECT_ATTRIBUTES ObjectAttributes) {
  return OpenByName(ObjectAttributes, &ObDirectoryType, true, DesiredAccess, DirectoryHandle);
}

extern "C" NTSTATUS ZwCreateSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                               POBJECT_ATTRIBUTES ObjectAttributes, PUNICODE_STRING LinkTarget) {
  if (LinkTarget == nullptr || LinkTarget->Length == 0) return STATUS_INVALID_PARAMETER;
  Ns();
  PVOID link = MakeLinkObject(ToU16(LinkTarget));
  if (link == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  return InsertAndOpen(link, ObjectAttributes, false, DesiredAccess, LinkHandle);
}

extern "C" NTSTATUS ZwOpenSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                             POBJECT_ATTRIBUTES ObjectAttributes) {
  return OpenByName(ObjectAttributes, &ObSymbolicLinkType, false, DesiredAccess, LinkHandle);
}

extern "C" NTSTATUS ZwQuerySymbolicLinkObject(HANDLE LinkHandle, PUNICODE_STRING LinkTarget, PULONG ReturnedLength) {
  PVOID link;
  NTSTATUS status = ObReferenceObjectByHandle(LinkHandle, 0, &ObSymbolicLinkType, KernelMode, &link, nullptr);
  if (!NT_SUCCESS(status)) return status;
  const std::u16string& target = static_cast<SymbolicLinkBody*>(link)->Target;  // never changes
  ULONG bytes = ULONG(target.size() * sizeof(WCHAR));
  if (ReturnedLength != nullptr) *ReturnedLength = bytes;
  if (bytes > LinkTarget->MaximumLength) {
    status = STATUS_BUFFER_TOO_SMALL;
  } else {
    memcpy(LinkTarget->Buffer, target.data(), bytes);
    LinkTarget->Length = USHORT(bytes);
    if (bytes + sizeof(WCHAR) <= LinkTarget->MaximumLength) LinkTarget->Buffer[target.size()] = 0;
  }
  ObfDereferenceObject(link);
  return status;
}

extern "C" NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, SymbolicLinkName, OBJ_PERMANENT | OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  HANDLE h;
  NTSTATUS status = ZwCreateSymbolicLinkObject(&h, SYMBOLIC_LINK_ALL_ACCESS, &oa, DeviceName);
  if (NT_SUCCESS(status)) ZwClose(h);
  return status;
}

extern "C" NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, SymbolicLinkName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE h;
  NTSTATUS status = ZwOpenSymbolicLinkObject(&h, DELETE, &oa);
  if (!NT_SUCCESS(status)) return status;
  ZwMakeTemporaryObject(h);
  ZwClose(h);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NtHostReferenceObjectByName(PCUNICODE_STRING Name, POBJECT_TYPE ObjectType, PVOID* Object) {
  *Object = nullptr;
  LookupResult r;
  NTSTATUS status = LookupObject(nullptr, ToU16(Name), true, false, &r);
  if (!NT_SUCCESS(status)) return status;
  if (ObjectType != nullptr && HeaderOf(r.Object)->Type != ObjectType) {
    ObfDereferenceObject(r.Object);
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  *Object = r.Object;
  return STATUS_SUCCESS;
}

std::vector<std::u16string> NtHostListDirectory(const std::u16string& DirectoryName) {
  std::vector<std::u16string> names;
  auto ns = Ns().lock();
  PVOID dir = nullptr;
  std::u16string remaining;
  if (!NT_SUCCESS(Walk(*ns, nullptr, DirectoryName, true, &dir, &remaining)) || !remaining.empty() ||
      !IsDirectory(dir))
    return names;
  for (auto& [folded, object] : ns->Dirs[dir]) names.push_back(HeaderOf(object)->Name);
  std::sort(names.begin(), names.end());
  return names;
}

std::u16string NtHostResolvePath(const std::u16string& Path) {
  LookupResult r;
  if (!NT_SUCCESS(LookupObject(nullptr, Path, true, true, &r))) return {};
  std::u16string name = FullName(r.Object) + r.Remaining;
  ObfDereferenceObject(r.Object);
  return name;
}
