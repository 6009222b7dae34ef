// Device control: the five encryption codes answered here, the CD geometry
// query watched for disc changes, everything else passed down.
#include <ntddcdrm.h>

#include "cipher/keys.h"
#include "cipher/sector.h"
#include "sys/filter.h"
#include "sys/guards.h"
#include "sys/crypt_ioctl.h"
#include "sys/lower_io.h"

namespace {

// The probe reads one CD sector; unit 0 is its first 512 bytes.
constexpr ULONG PROBE_READ_LENGTH = 2048;

NTSTATUS QueryState(FILTER_EXTENSION* Extension, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    if (Stack->Parameters.DeviceIoControl.OutputBufferLength < CRYPT_STATE_LENGTH) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    const uint32_t encrypted = FlagIsSet(Extension->Encrypted) ? 1 : 0;
    PUCHAR out = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    out[0] = static_cast<UCHAR>(encrypted);
    out[1] = out[2] = out[3] = 0;
    return CompleteRequest(Irp, STATUS_SUCCESS, CRYPT_STATE_LENGTH);
}

NTSTATUS SetKey(FILTER_EXTENSION* Extension, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    const ULONG inputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
    if (inputLength < CRYPT_KEY_LENGTH) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    PUCHAR key = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    {
        CryptLockGuard cryptLock(&Extension->CryptLock);
        AesSetKey(&Extension->UserKey, key, 256);
        SetFlag(Extension->KeyLoaded, true);
    }
    // Nothing is copied back (Information 0); the key must not linger in the
    // freed system buffer.
    SecureWipe(key, inputLength);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS ClearKey(FILTER_EXTENSION* Extension, PIRP Irp)
{
    {
        CryptLockGuard cryptLock(&Extension->CryptLock);
        SetFlag(Extension->KeyLoaded, false);
        AesWipeKey(&Extension->UserKey);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS EndEncryption(FILTER_EXTENSION* Extension, PIRP Irp)
{
    {
        CryptLockGuard cryptLock(&Extension->CryptLock);
        SetFlag(Extension->Encrypted, false);
        SetFlag(Extension->KeyLoaded, false);
        AesWipeKey(&Extension->UserKey);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// Writes the caller's bytes below the filter, untransformed.
NTSTATUS RawWrite(FILTER_EXTENSION* Extension, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    const ULONG inputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
    if (inputLength < RAW_WRITE_HEADER_LENGTH + RAW_WRITE_MIN_DATA) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    const ULONG dataLength = inputLength - static_cast<ULONG>(RAW_WRITE_HEADER_LENGTH);
    if (dataLength % FILTER_UNIT_SIZE != 0 || dataLength > RAW_WRITE_MAX_DATA) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    auto* request = static_cast<RAW_WRITE_REQUEST*>(Irp->AssociatedIrp.SystemBuffer);
    // A negative offset means "current position" or "end of file" to the
    // layers below, never a device offset.
    if (request->Offset < 0) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }

    const NTSTATUS status =
        LowerTransfer(Extension->NextLower, IRP_MJ_WRITE, request->Data, dataLength, request->Offset);
    return CompleteRequest(Irp, status, 0);
}

// Re-examines unit 0 after a media change. An empty drive has nothing
// encrypted, so it drops the state and key of the disc it held; any other
// failed read says nothing about the disc and leaves the state as it is.
void ProbeUnitZero(FILTER_EXTENSION* Extension)
{
    PoolBuffer sector(PROBE_READ_LENGTH);
    if (sector.Data() == nullptr) {
        return;
    }
    RtlZeroMemory(sector.Data(), PROBE_READ_LENGTH);
    const NTSTATUS status = LowerTransfer(Extension->NextLower, IRP_MJ_READ, sector.Data(), PROBE_READ_LENGTH, 0);
    if (!NT_SUCCESS(status) && status != STATUS_NO_MEDIA_IN_DEVICE) {
        return;
    }
    const bool marker = NT_SUCCESS(status) && UnitZeroHasMarker(&Extension->FixedKey, sector.Data());

    CryptLockGuard cryptLock(&Extension->CryptLock);
    if (marker) {
        SetFlag(Extension->Encrypted, true);
    } else {
        // A plain disc: the key of the previous disc must not apply to it.
        SetFlag(Extension->Encrypted, false);
        SetFlag(Extension->KeyLoaded, false);
        AesWipeKey(&Extension->UserKey);
    }
}

NTSTATUS ProbeThenForward(FILTER_EXTENSION* Extension, PIRP Irp)
{
    ProbeUnitZero(Extension);
    return ForwardRequest(Extension, Irp);
}

}  // namespace

// Contract: holds the remove lock for every code, so neither a request of
// our own to NextLower (raw write, probe) nor a key change can overlap the
// device's removal; the five encryption codes are completed here with no
// priority boost; every other code goes down unchanged and the lower driver
// completes it.
NTSTATUS FilterDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FILTER_EXTENSION* extension = FilterExtension(DeviceObject);
    RemoveLockGuard removeLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(removeLock.Status())) {
        return CompleteRequest(Irp, removeLock.Status(), 0);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_CRYPT_QUERY_STATE:
        return QueryState(extension, Irp, stack);
    case IOCTL_CRYPT_SET_KEY:
        return SetKey(extension, Irp, stack);
    case IOCTL_CRYPT_CLEAR_KEY:
        return ClearKey(extension, Irp);
    case IOCTL_CRYPT_RAW_WRITE:
        return RawWrite(extension, Irp, stack);
    case IOCTL_CRYPT_END_ENCRYPTION:
        return EndEncryption(extension, Irp);
    case IOCTL_CDROM_GET_DRIVE_GEOMETRY:
        return ProbeThenForward(extension, Irp);
    default:
        return ForwardRequest(extension, Irp);
    }
}
