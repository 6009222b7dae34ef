// File sections and their views: a file's pages mapped into the address
// space, so a driver reads them where they lie instead of copying them out
// with ZwReadFile. A view is the Linux page cache itself: it sees every write
// made through any handle of the file as soon as that write returns.
//
// What file-backed disks need: read-only sections (PAGE_READONLY,
// SEC_COMMIT) of an open file, mapped from a 64 KiB boundary.
#pragma once

#include "zwfile.h"

#ifndef SECTION_MAP_READ
#define SECTION_QUERY 0x0001
#define SECTION_MAP_WRITE 0x0002
#define SECTION_MAP_READ 0x0004
#endif

#ifndef PAGE_READONLY
#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#endif

#ifndef SEC_COMMIT
#define SEC_COMMIT 0x08000000
#endif

#ifndef STATUS_IN_PAGE_ERROR
#define STATUS_IN_PAGE_ERROR ((NTSTATUS)0xC0000006L)
#define STATUS_NOT_MAPPED_VIEW ((NTSTATUS)0xC0000019L)
#define STATUS_INVALID_VIEW_SIZE ((NTSTATUS)0xC000001FL)
#define STATUS_INVALID_FILE_FOR_SECTION ((NTSTATUS)0xC0000020L)
#define STATUS_SECTION_TOO_BIG ((NTSTATUS)0xC0000040L)
#define STATUS_INVALID_PAGE_PROTECTION ((NTSTATUS)0xC0000045L)
#define STATUS_MAPPED_FILE_SIZE_ZERO ((NTSTATUS)0xC000011EL)
#define STATUS_MAPPED_ALIGNMENT ((NTSTATUS)0xC0000220L)
#endif

#ifndef NtCurrentProcess
#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define ZwCurrentProcess() NtCurrentProcess()
#endif

typedef enum _SECTION_INHERIT { ViewShare = 1, ViewUnmap = 2 } SECTION_INHERIT;

typedef VOID NTHOST_VIEW_ROUTINE(_In_ PVOID Context);
typedef NTHOST_VIEW_ROUTINE* PNTHOST_VIEW_ROUTINE;

#ifdef __cplusplus
extern "C" {
#endif

// A section of FileHandle (opened with read access), unnamed. MaximumSize
// NULL or 0: the file's size now; larger than the file:
// STATUS_SECTION_TOO_BIG (a read-only section cannot grow it). An empty
// file: STATUS_MAPPED_FILE_SIZE_ZERO. Protection other than PAGE_READONLY:
// STATUS_INVALID_PAGE_PROTECTION; other attributes than SEC_COMMIT, a name
// or no file: STATUS_INVALID_PARAMETER.
NTSTATUS ZwCreateSection(_Out_ PHANDLE SectionHandle, _In_ ACCESS_MASK DesiredAccess,
                         _In_opt_ POBJECT_ATTRIBUTES ObjectAttributes, _In_opt_ PLARGE_INTEGER MaximumSize,
                         _In_ ULONG SectionPageProtection, _In_ ULONG AllocationAttributes,
                         _In_opt_ HANDLE FileHandle);

// Maps [*SectionOffset, *SectionOffset + *ViewSize) of the section into this
// process (ProcessHandle: NtCurrentProcess()) at an address of the layer's
// choosing (*BaseAddress NULL on entry). *ViewSize 0 maps to the section's
// end; *ViewSize receives the size mapped. The offset must be a multiple of
// 64 KiB (STATUS_MAPPED_ALIGNMENT); a view past the section's end is
// STATUS_INVALID_VIEW_SIZE; a file its file system cannot map,
// STATUS_INVALID_FILE_FOR_SECTION. The view keeps the file's pages whatever
// happens to the section handle; ZwUnmapViewOfSection drops it.
NTSTATUS ZwMapViewOfSection(_In_ HANDLE SectionHandle, _In_ HANDLE ProcessHandle, _Inout_ PVOID* BaseAddress,
                            _In_ ULONG_PTR ZeroBits, _In_ SIZE_T CommitSize,
                            _Inout_opt_ PLARGE_INTEGER SectionOffset, _Inout_ PSIZE_T ViewSize,
                            _In_ SECTION_INHERIT InheritDisposition, _In_ ULONG AllocationType,
                            _In_ ULONG Win32Protection);
// STATUS_NOT_MAPPED_VIEW when BaseAddress is not the start of a view.
NTSTATUS ZwUnmapViewOfSection(_In_ HANDLE ProcessHandle, _In_opt_ PVOID BaseAddress);

// Not Windows API: the exception handler a Windows driver puts around its
// accesses to a view. Runs Routine(Context); should it touch a page of a
// view that the file no longer has (the file was cut short under the view),
// the routine ends there and STATUS_IN_PAGE_ERROR comes back, instead of
// the process dying of the fault. STATUS_SUCCESS otherwise. Routine must
// leave nothing to undo when cut short: no lock taken, no memory allocated,
// no object with a destructor.
NTSTATUS NtHostGuardViewAccess(_In_ PNTHOST_VIEW_ROUTINE Routine, _In_opt_ PVOID Context);

#ifdef __cplusplus
}
#endif
