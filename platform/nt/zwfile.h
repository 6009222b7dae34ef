// Native file I/O for drivers: ZwCreateFile, ZwReadFile, ZwWriteFile and the
// file information calls, on Linux files.
//
// Names: "\??\" followed by an absolute Linux path ("\??\/srv/img/a.img").
// Linux names compare case-sensitively, so OBJ_CASE_INSENSITIVE changes
// nothing. Handles are kernel handles of the object manager: ZwClose closes
// them, and the Linux descriptor goes with the last reference.
//
// Share access is enforced among the opens made through this layer in this
// process (Linux has no share modes of its own), so two drivers cannot both
// hold an image for writing.
//
// FILE_NO_INTERMEDIATE_BUFFERING keeps the page cache: it belongs to the
// Linux kernel, so a write that returned survives the end of this process;
// O_DIRECT would fail on tmpfs and force aligned buffers on every caller.
// The alignment requirement reported is therefore FILE_BYTE_ALIGNMENT.
#pragma once

#include "wdm.h"

#ifndef FILE_SHARE_READ
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define FILE_SHARE_VALID_FLAGS 0x00000007
#endif

#ifndef FILE_READ_DATA
#define FILE_READ_DATA 0x0001
#define FILE_LIST_DIRECTORY 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_ADD_FILE 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_READ_EA 0x0008
#define FILE_WRITE_EA 0x0010
#define FILE_EXECUTE 0x0020
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_WRITE_ATTRIBUTES 0x0100
#define FILE_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF)
#define FILE_GENERIC_READ (STANDARD_RIGHTS_READ | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | SYNCHRONIZE)
#define FILE_GENERIC_WRITE \
  (STANDARD_RIGHTS_WRITE | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | FILE_APPEND_DATA | SYNCHRONIZE)
#endif

#ifndef FILE_ATTRIBUTE_NORMAL
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_DEVICE 0x00000040
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_SPARSE_FILE 0x00000200
#endif

// Create dispositions.
#ifndef FILE_SUPERSEDE
#define FILE_SUPERSEDE 0x00000000
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003
#define FILE_OVERWRITE 0x00000004
#define FILE_OVERWRITE_IF 0x00000005
#define FILE_MAXIMUM_DISPOSITION 0x00000005
#endif

// Create options.
#ifndef FILE_DIRECTORY_FILE
#define FILE_DIRECTORY_FILE 0x00000001
#define FILE_WRITE_THROUGH 0x00000002
#define FILE_SEQUENTIAL_ONLY 0x00000004
#define FILE_NO_INTERMEDIATE_BUFFERING 0x00000008
#define FILE_SYNCHRONOUS_IO_ALERT 0x00000010
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_NON_DIRECTORY_FILE 0x00000040
#define FILE_RANDOM_ACCESS 0x00000800
#define FILE_DELETE_ON_CLOSE 0x00001000
#define FILE_VALID_OPTION_FLAGS 0x00FFFFFF
#endif

// Special ByteOffset values of ZwReadFile / ZwWriteFile (HighPart -1).
#ifndef FILE_WRITE_TO_END_OF_FILE
#define FILE_WRITE_TO_END_OF_FILE 0xffffffff
#define FILE_USE_FILE_POINTER_POSITION 0xfffffffe
#endif

typedef enum _FILE_INFORMATION_CLASS {
  FileDirectoryInformation = 1,
  FileBasicInformation = 4,
  FileStandardInformation = 5,
  FileDispositionInformation = 13,
  FilePositionInformation = 14,
  FileAlignmentInformation = 17,
  FileAllocationInformation = 19,
  FileEndOfFileInformation = 20,
  FileMaximumInformation = 76
} FILE_INFORMATION_CLASS, *PFILE_INFORMATION_CLASS;

typedef struct _FILE_BASIC_INFORMATION {
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  ULONG FileAttributes;
} FILE_BASIC_INFORMATION, *PFILE_BASIC_INFORMATION;

typedef struct _FILE_STANDARD_INFORMATION {
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER EndOfFile;
  ULONG NumberOfLinks;
  BOOLEAN DeletePending;
  BOOLEAN Directory;
} FILE_STANDARD_INFORMATION, *PFILE_STANDARD_INFORMATION;

typedef struct _FILE_POSITION_INFORMATION {
  LARGE_INTEGER CurrentByteOffset;
} FILE_POSITION_INFORMATION, *PFILE_POSITION_INFORMATION;

typedef struct _FILE_ALIGNMENT_INFORMATION {
  ULONG AlignmentRequirement;
} FILE_ALIGNMENT_INFORMATION, *PFILE_ALIGNMENT_INFORMATION;

typedef struct _FILE_END_OF_FILE_INFORMATION {
  LARGE_INTEGER EndOfFile;
} FILE_END_OF_FILE_INFORMATION, *PFILE_END_OF_FILE_INFORMATION;

typedef struct _FILE_DISPOSITION_INFORMATION {
  BOOLEAN DeleteFile;
} FILE_DISPOSITION_INFORMATION, *PFILE_DISPOSITION_INFORMATION;

// Extended attributes of a create (the network transport names its endpoint
// and address this way); ordinary files ignore them.
typedef struct _FILE_FULL_EA_INFORMATION {
  ULONG NextEntryOffset;
  UCHAR Flags;
  UCHAR EaNameLength;
  USHORT EaValueLength;
  CHAR EaName[1];
} FILE_FULL_EA_INFORMATION, *PFILE_FULL_EA_INFORMATION;

static_assert(sizeof(FILE_BASIC_INFORMATION) == 40, "FILE_BASIC_INFORMATION layout");
static_assert(sizeof(FILE_STANDARD_INFORMATION) == 24, "FILE_STANDARD_INFORMATION layout");

#ifdef __cplusplus
extern "C" {
#endif

// Opens or creates the file ObjectAttributes names. IoStatusBlock->Information
// receives FILE_OPENED, FILE_CREATED, FILE_OVERWRITTEN or FILE_SUPERSEDED.
// Failures: STATUS_OBJECT_NAME_NOT_FOUND (no such file),
// STATUS_OBJECT_PATH_NOT_FOUND (no such directory), STATUS_ACCESS_DENIED,
// STATUS_OBJECT_NAME_COLLISION (FILE_CREATE on an existing file),
// STATUS_SHARING_VIOLATION, STATUS_FILE_IS_A_DIRECTORY,
// STATUS_NOT_A_DIRECTORY, STATUS_OBJECT_NAME_INVALID (not a "\??\/..."
// name), STATUS_INVALID_PARAMETER (bad disposition or options).
// AllocationSize is a hint only: images stay sparse.
NTSTATUS ZwCreateFile(_Out_ PHANDLE FileHandle, _In_ ACCESS_MASK DesiredAccess,
                      _In_ POBJECT_ATTRIBUTES ObjectAttributes, _Out_ PIO_STATUS_BLOCK IoStatusBlock,
                      _In_opt_ PLARGE_INTEGER AllocationSize, _In_ ULONG FileAttributes,
                      _In_ ULONG ShareAccess, _In_ ULONG CreateDisposition, _In_ ULONG CreateOptions,
                      _In_opt_ PVOID EaBuffer, _In_ ULONG EaLength);
NTSTATUS ZwOpenFile(_Out_ PHANDLE FileHandle, _In_ ACCESS_MASK DesiredAccess,
                    _In_ POBJECT_ATTRIBUTES ObjectAttributes, _Out_ PIO_STATUS_BLOCK IoStatusBlock,
                    _In_ ULONG ShareAccess, _In_ ULONG OpenOptions);

// Synchronous transfers at ByteOffset (NULL or FILE_USE_FILE_POINTER_POSITION:
// the file position; writes also take FILE_WRITE_TO_END_OF_FILE). Event, APC
// and Key are accepted and unused: every call completes before it returns.
// A read that meets the end of file returns the bytes before it with
// success; a read at or past the end returns STATUS_END_OF_FILE with
// Information 0.
NTSTATUS ZwReadFile(_In_ HANDLE FileHandle, _In_opt_ HANDLE Event, _In_opt_ PIO_APC_ROUTINE ApcRoutine,
                    _In_opt_ PVOID ApcContext, _Out_ PIO_STATUS_BLOCK IoStatusBlock, _Out_ PVOID Buffer,
                    _In_ ULONG Length, _In_opt_ PLARGE_INTEGER ByteOffset, _In_opt_ PULONG Key);
NTSTATUS ZwWriteFile(_In_ HANDLE FileHandle, _In_opt_ HANDLE Event, _In_opt_ PIO_APC_ROUTINE ApcRoutine,
                     _In_opt_ PVOID ApcContext, _Out_ PIO_STATUS_BLOCK IoStatusBlock, _In_ PVOID Buffer,
                     _In_ ULONG Length, _In_opt_ PLARGE_INTEGER ByteOffset, _In_opt_ PULONG Key);
NTSTATUS ZwFlushBuffersFile(_In_ HANDLE FileHandle, _Out_ PIO_STATUS_BLOCK IoStatusBlock);

// FileBasicInformation, FileStandardInformation (EndOfFile is a block
// device's size for block devices), FilePositionInformation,
// FileAlignmentInformation. STATUS_INFO_LENGTH_MISMATCH when Length is too
// small, STATUS_INVALID_INFO_CLASS for other classes.
NTSTATUS ZwQueryInformationFile(_In_ HANDLE FileHandle, _Out_ PIO_STATUS_BLOCK IoStatusBlock,
                                _Out_ PVOID FileInformation, _In_ ULONG Length,
                                _In_ FILE_INFORMATION_CLASS FileInformationClass);
// FileEndOfFileInformation, FilePositionInformation,
// FileDispositionInformation.
NTSTATUS ZwSetInformationFile(_In_ HANDLE FileHandle, _Out_ PIO_STATUS_BLOCK IoStatusBlock,
                              _In_ PVOID FileInformation, _In_ ULONG Length,
                              _In_ FILE_INFORMATION_CLASS FileInformationClass);

#ifdef __cplusplus
}
#endif

namespace tarn::nt {
// The NTSTATUS a Linux errno value stands for, as the file calls report it.
NTSTATUS FileStatusFromErrno(int Error);
// A duplicate of the Linux descriptor behind a file handle opened with read
// access (STATUS_ACCESS_DENIED otherwise), for the section calls; the caller
// closes it.
NTSTATUS DuplicateReadableDescriptor(HANDLE FileHandle, int* Fd);
}  // namespace tarn::nt
