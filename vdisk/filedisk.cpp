// File-backed media: byte x of the device is byte x of the image file.
// Everything here runs in the device's worker thread, so transfers of one
// device never overlap.
#include <algorithm>

#include "cipher/backend.h"
#include "cipher/keys.h"
#include "cipher/sector.h"
#include "platform/nt/section.h"
#include "platform/nt/zwfile.h"
#include "sys/crypt_ioctl.h"
#include "vdisk/extension.h"

namespace {

// FILE_NON_DIRECTORY_FILE | FILE_RANDOM_ACCESS | FILE_NO_INTERMEDIATE_BUFFERING
// | FILE_SYNCHRONOUS_IO_NONALERT
constexpr ULONG kImageOptions = 0x868;
static_assert(kImageOptions == (FILE_NON_DIRECTORY_FILE | FILE_RANDOM_ACCESS | FILE_NO_INTERMEDIATE_BUFFERING |
                                FILE_SYNCHRONOUS_IO_NONALERT));

// Whether [Offset, Offset + Length) lies on the disk, without the sum ever
// overflowing.
bool WithinDisk(LONGLONG Offset, ULONG Length, LONGLONG DiskSize)
{
    return Offset >= 0 && Offset <= DiskSize && LONGLONG(Length) <= DiskSize - Offset;
}

NTSTATUS Fail(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Information = 0;
    return Irp->IoStatus.Status = Status;
}

// What the ciphertext of one write is made in, a piece at a time: the
// caller's pages keep their plaintext, and the same few pages serve every
// write instead of a fresh Length-sized buffer faulted in each time.
constexpr ULONG kWritePiece = 64 * 1024;

// Encrypts Length bytes of Plaintext (device offset Offset) into Target.
// Away from unit 0 this is one ECB run straight from the caller's buffer.
void EncryptPiece(VDISK_EXTENSION* Extension, const UCHAR* Plaintext, LONGLONG Offset, ULONG Length, PUCHAR Target)
{
    if (Offset != 0) {
        AesEncryptBlocks(AesCurrentPath(), &Extension->UserKey, Plaintext, Target, Length / 16);
        return;
    }
    RtlCopyMemory(Target, Plaintext, Length);
    EncryptTransfer(&Extension->UserKey, &Extension->FixedKey, 0, Target, Length);
}

// An encrypted, unlocked medium's write. Caller holds CryptLock.
NTSTATUS WriteEncrypted(VDISK_EXTENSION* Extension, PIRP Irp, const UCHAR* Caller, LARGE_INTEGER Offset,
                        ULONG Length)
{
    if (!VdiskUnitAligned(Offset.QuadPart, Length)) {
        return Fail(Irp, STATUS_INVALID_PARAMETER);
    }
    if (Extension->WriteBuffer == nullptr) {
        Extension->WriteBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, kWritePiece, VDISK_POOL_TAG));
        if (Extension->WriteBuffer == nullptr) {
            return Fail(Irp, STATUS_INSUFFICIENT_RESOURCES);
        }
    }
    for (ULONG done = 0; done < Length;) {
        const ULONG piece = std::min(kWritePiece, Length - done);
        LARGE_INTEGER at;
        at.QuadPart = Offset.QuadPart + done;
        EncryptPiece(Extension, Caller + done, at.QuadPart, piece, Extension->WriteBuffer);
        const NTSTATUS status = ZwWriteFile(Extension->Backing, nullptr, nullptr, nullptr, &Irp->IoStatus,
                                            Extension->WriteBuffer, piece, &at, nullptr);
        if (!NT_SUCCESS(status)) {
            return Fail(Irp, status);
        }
        done += piece;
    }
    Irp->IoStatus.Information = Length;
    return Irp->IoStatus.Status = STATUS_SUCCESS;
}

// Opens the image; creates it when it is missing and the record gives a size.
NTSTATUS OpenImage(VDISK_EXTENSION* Extension, const VDISK_MOUNT_RECORD* Record, PIO_STATUS_BLOCK IoStatus,
                   PHANDLE Handle)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &Extension->FileName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    const bool readOnly = FlagIsSet(Extension->ReadOnly);
    NTSTATUS status = ZwCreateFile(Handle, readOnly ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE, &attributes,
                                   IoStatus, nullptr, FILE_ATTRIBUTE_NORMAL, readOnly ? FILE_SHARE_READ : 0,
                                   FILE_OPEN, kImageOptions, nullptr, 0);
    if (status != STATUS_OBJECT_NAME_NOT_FOUND && status != STATUS_NO_SUCH_FILE) {
        return status;
    }
    if (readOnly || Record->DiskSize == 0) {
        return STATUS_NO_SUCH_FILE;
    }
    if (Record->DiskSize < 0) {
        return STATUS_INVALID_PARAMETER;
    }

    LARGE_INTEGER allocation;
    allocation.QuadPart = Record->DiskSize;
    status = ZwCreateFile(Handle, GENERIC_READ | GENERIC_WRITE, &attributes, IoStatus, &allocation,
                          FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN_IF, kImageOptions, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (IoStatus->Information == FILE_CREATED) {
        FILE_END_OF_FILE_INFORMATION endOfFile;
        endOfFile.EndOfFile.QuadPart = Record->DiskSize;
        IO_STATUS_BLOCK ioStatus;
        status = ZwSetInformationFile(*Handle, &ioStatus, &endOfFile, sizeof(endOfFile), FileEndOfFileInformation);
        if (!NT_SUCCESS(status)) {
            ZwClose(*Handle);
            *Handle = nullptr;
            return status;
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace

VOID VdiskDecideMarker(VDISK_EXTENSION* Extension, const UCHAR* Data, SIZE_T Length)
{
    UCHAR unit[VDISK_UNIT_SIZE] = {};
    RtlCopyMemory(unit, Data, std::min<SIZE_T>(Length, sizeof(unit)));
    if (UnitZeroHasMarker(&Extension->FixedKey, unit)) {
        SetFlag(Extension->Encrypted, true);
    } else {
        SetFlag(Extension->Encrypted, false);
        VdiskForgetKey(Extension);
    }
}

NTSTATUS FileDiskOpen(VDISK_EXTENSION* Extension, const VDISK_MOUNT_RECORD* Record, PDEVICE_OBJECT DeviceObject,
                      PIO_STATUS_BLOCK IoStatus)
{
    HANDLE handle = nullptr;
    NTSTATUS status = OpenImage(Extension, Record, IoStatus, &handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // The file's own size wins over the record's.
    IO_STATUS_BLOCK ioStatus;
    FILE_BASIC_INFORMATION basic;
    FILE_STANDARD_INFORMATION standard;
    FILE_ALIGNMENT_INFORMATION alignment;
    status = ZwQueryInformationFile(handle, &ioStatus, &basic, sizeof(basic), FileBasicInformation);
    if (NT_SUCCESS(status)) {
        status = ZwQueryInformationFile(handle, &ioStatus, &standard, sizeof(standard), FileStandardInformation);
    }
    if (NT_SUCCESS(status)) {
        status = ZwQueryInformationFile(handle, &ioStatus, &alignment, sizeof(alignment), FileAlignmentInformation);
    }
    if (!NT_SUCCESS(status)) {
        ZwClose(handle);
        return status;
    }
    {
        FastMutexGuard lock(&Extension->MountLock);
        Extension->DiskSize = standard.EndOfFile.QuadPart;
    }
    DeviceObject->AlignmentRequirement = alignment.AlignmentRequirement;

    // An unreadable first unit counts as one without the marker.
    UCHAR unit0[VDISK_UNIT_SIZE] = {};
    LARGE_INTEGER zero{};
    ZwReadFile(handle, nullptr, nullptr, nullptr, &ioStatus, unit0, sizeof(unit0), &zero, nullptr);
    {
        FastMutexGuard lock(&Extension->CryptLock);
        VdiskDecideMarker(Extension, unit0, sizeof(unit0));
    }
    ImageViewOpen(Extension, handle);
    Extension->Backing = handle;
    return STATUS_SUCCESS;
}

// The data goes straight into the caller's buffer: decrypted on the way from
// the mapped image where it can be, else copied there and decrypted in place;
// a temporary copy would only cost time.
NTSTATUS FileDiskRead(VDISK_EXTENSION* Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG length = stack->Parameters.Read.Length;
    LARGE_INTEGER offset = stack->Parameters.Read.ByteOffset;
    if (!WithinDisk(offset.QuadPart, length, Extension->DiskSize)) {
        return Fail(Irp, STATUS_INVALID_PARAMETER);
    }
    PUCHAR caller = Irp->MdlAddress == nullptr
                        ? nullptr
                        : static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority));
    if (caller == nullptr) {
        return Fail(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }

    BOOLEAN decrypted = FALSE;
    NTSTATUS status = ImageViewRead(Extension, caller, offset.QuadPart, length, &decrypted);
    if (status == STATUS_IN_PAGE_ERROR) {
        // No view, or the file was cut short under it: the file read finds
        // where it ends now.
        status = ZwReadFile(Extension->Backing, nullptr, nullptr, nullptr, &Irp->IoStatus, caller, length, &offset,
                            nullptr);
        if (!NT_SUCCESS(status)) {
            return Fail(Irp, status);
        }
        // What the file cannot supply (it ends inside the transfer) reads as
        // zeroes, not as whatever the buffer held.
        const ULONG_PTR got = std::min<ULONG_PTR>(Irp->IoStatus.Information, length);
        RtlZeroMemory(caller + got, length - got);
    }

    if (!decrypted) {
        FastMutexGuard lock(&Extension->CryptLock);
        if (!FlagIsSet(Extension->Encrypted) && offset.QuadPart == 0) {
            VdiskDecideMarker(Extension, caller, length);
        }
        if (FlagIsSet(Extension->Encrypted) && FlagIsSet(Extension->KeyLoaded)) {
            if (!VdiskUnitAligned(offset.QuadPart, length)) {
                return Fail(Irp, STATUS_INVALID_PARAMETER);
            }
            DecryptTransfer(&Extension->UserKey, &Extension->FixedKey, uint64_t(offset.QuadPart), caller, length);
        }
    }
    Irp->IoStatus.Information = length;
    return Irp->IoStatus.Status = STATUS_SUCCESS;
}

NTSTATUS FileDiskWrite(VDISK_EXTENSION* Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG length = stack->Parameters.Write.Length;
    LARGE_INTEGER offset = stack->Parameters.Write.ByteOffset;
    if (!WithinDisk(offset.QuadPart, length, Extension->DiskSize)) {
        return Fail(Irp, STATUS_INVALID_PARAMETER);
    }
    PUCHAR caller = Irp->MdlAddress == nullptr
                        ? nullptr
                        : static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority));
    if (caller == nullptr) {
        return Fail(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }

    {
        FastMutexGuard lock(&Extension->CryptLock);
        // Locked: plaintext written now would sit among the ciphertext and
        // read back as garbage once the key is loaded. Refused, as the filter
        // refuses writes to a locked volume; raw writes stay possible.
        if (FlagIsSet(Extension->Encrypted) && !FlagIsSet(Extension->KeyLoaded)) {
            return Fail(Irp, STATUS_ACCESS_DENIED);
        }
        // The lock stays held to the end: a key change never meets a
        // transfer half written under the old key.
        if (FlagIsSet(Extension->Encrypted) && FlagIsSet(Extension->KeyLoaded)) {
            return WriteEncrypted(Extension, Irp, caller, offset, length);
        }
    }

    NTSTATUS status =
        ZwWriteFile(Extension->Backing, nullptr, nullptr, nullptr, &Irp->IoStatus, caller, length, &offset, nullptr);
    if (!NT_SUCCESS(status)) {
        return Fail(Irp, status);
    }
    return Irp->IoStatus.Status = status;
}

NTSTATUS FileDiskRawWrite(VDISK_EXTENSION* Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    auto request = static_cast<RAW_WRITE_REQUEST*>(Irp->AssociatedIrp.SystemBuffer);
    const ULONG length = stack->Parameters.DeviceIoControl.InputBufferLength - ULONG(RAW_WRITE_HEADER_LENGTH);
    LARGE_INTEGER offset;
    offset.QuadPart = request->Offset;
    // Raw sectors go on the disk, never past its end.
    if (!WithinDisk(offset.QuadPart, length, Extension->DiskSize)) {
        return Fail(Irp, STATUS_INVALID_PARAMETER);
    }
    NTSTATUS status = ZwWriteFile(Extension->Backing, nullptr, nullptr, nullptr, &Irp->IoStatus, request->Data,
                                  length, &offset, nullptr);
    if (!NT_SUCCESS(status)) {
        return Fail(Irp, status);
    }
    return Irp->IoStatus.Status = status;
}

NTSTATUS FileDiskFlush(VDISK_EXTENSION* Extension, PIRP Irp)
{
    NTSTATUS status = ZwFlushBuffersFile(Extension->Backing, &Irp->IoStatus);
    Irp->IoStatus.Information = 0;
    return Irp->IoStatus.Status = status;
}

VOID FileDiskClose(VDISK_EXTENSION* Extension)
{
    ImageViewClose(Extension);
    if (Extension->WriteBuffer != nullptr) {
        ExFreePoolWithTag(Extension->WriteBuffer, VDISK_POOL_TAG);
        Extension->WriteBuffer = nullptr;
    }
    if (Extension->Backing != nullptr) {
        ZwClose(Extension->Backing);
        Extension->Backing = nullptr;
    }
}
