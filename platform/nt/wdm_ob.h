// Object manager: reference counts, kernel handles, the object namespace
// (directories and symbolic links).
//
// Namespace layout: "\Device", "\Driver", "\GLOBAL??" are directories;
// "\??" links to "\GLOBAL??", "\DosDevices" to "\??" and "\GLOBAL??\Global"
// back to "\GLOBAL??", so "\DosDevices\X:" and "\DosDevices\Global\X:" name
// the same link. Names compare case-insensitively.
#pragma once

#include "wdm_ex.h"

typedef struct _OBJECT_TYPE* POBJECT_TYPE;

typedef struct _OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

#ifdef __cplusplus
extern "C" {
#endif

extern POBJECT_TYPE* IoDeviceObjectType;
extern POBJECT_TYPE* IoDriverObjectType;
extern POBJECT_TYPE* IoFileObjectType;
extern POBJECT_TYPE* PsThreadType;
extern POBJECT_TYPE* ExEventObjectType;

// Every object made by this layer (devices, drivers, files, threads,
// directories, links) carries a pointer count; its memory goes when the
// count reaches zero. Referencing anything else stops the system.
LONG_PTR ObfReferenceObject(_In_ PVOID Object);
LONG_PTR ObfDereferenceObject(_In_ PVOID Object);
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)
NTSTATUS ObReferenceObjectByPointer(_In_ PVOID Object, _In_ ACCESS_MASK DesiredAccess,
                                    _In_opt_ POBJECT_TYPE ObjectType, _In_ KPROCESSOR_MODE AccessMode);
// Gives a referenced object for a kernel handle. STATUS_INVALID_HANDLE for an
// unknown handle, STATUS_OBJECT_TYPE_MISMATCH when ObjectType does not match.
NTSTATUS ObReferenceObjectByHandle(_In_ HANDLE Handle, _In_ ACCESS_MASK DesiredAccess,
                                   _In_opt_ POBJECT_TYPE ObjectType, _In_ KPROCESSOR_MODE AccessMode,
                                   _Out_ PVOID* Object,
                                   _Out_opt_ POBJECT_HANDLE_INFORMATION HandleInformation);
// Removes the object's name once its last handle is closed.
VOID ObMakeTemporaryObject(_In_ PVOID Object);

// Closes a kernel handle and drops the reference it held.
NTSTATUS ZwClose(_In_ HANDLE Handle);
// Creates a directory; with OBJ_PERMANENT it outlives its handles until made
// temporary. OBJ_OPENIF opens an existing one (STATUS_OBJECT_NAME_EXISTS).
NTSTATUS ZwCreateDirectoryObject(_Out_ PHANDLE DirectoryHandle, _In_ ACCESS_MASK DesiredAccess,
                                 _In_ POBJECT_ATTRIBUTES ObjectAttributes);
NTSTATUS ZwOpenDirectoryObject(_Out_ PHANDLE DirectoryHandle, _In_ ACCESS_MASK DesiredAccess,
                               _In_ POBJECT_ATTRIBUTES ObjectAttributes);
NTSTATUS ZwMakeTemporaryObject(_In_ HANDLE Handle);
NTSTATUS ZwCreateSymbolicLinkObject(_Out_ PHANDLE LinkHandle, _In_ ACCESS_MASK DesiredAccess,
                                    _In_ POBJECT_ATTRIBUTES ObjectAttributes,
                                    _In_ PUNICODE_STRING LinkTarget);
NTSTATUS ZwOpenSymbolicLinkObject(_Out_ PHANDLE LinkHandle, _In_ ACCESS_MASK DesiredAccess,
                                  _In_ POBJECT_ATTRIBUTES ObjectAttributes);
NTSTATUS ZwQuerySymbolicLinkObject(_In_ HANDLE LinkHandle, _Inout_ PUNICODE_STRING LinkTarget,
                                   _Out_opt_ PULONG ReturnedLength);

#ifdef __cplusplus
}
#endif
