// Mount and unmount. The control routine captures the mounting caller on its
// own thread; the worker then opens the medium with that caller's rights.
#include <ntstrsafe.h>

#include "vdisk/extension.h"
#include "vdisk/netdisk.h"

namespace {

PSECURITY_CLIENT_CONTEXT& RequestClient(PIRP Irp)
{
    return reinterpret_cast<PSECURITY_CLIENT_CONTEXT&>(Irp->Tail.Overlay.DriverContext[0]);
}

bool IsMountRequest(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    return stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
           stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_VDISK_MOUNT;
}

// "\DosDevices\Global\X:" for the mount's letter; false when the record's
// letter is not one.
bool FormatLinkName(UCHAR Letter, WCHAR (&Name)[24], UNICODE_STRING* LinkName)
{
    if (!((Letter >= 'A' && Letter <= 'Z') || (Letter >= 'a' && Letter <= 'z'))) {
        return false;
    }
    if (!NT_SUCCESS(RtlStringCchPrintfW(Name, RTL_NUMBER_OF(Name), u"\\DosDevices\\Global\\%c:", WCHAR(Letter)))) {
        return false;
    }
    RtlInitUnicodeString(LinkName, Name);
    return true;
}

// The service may have bound the letter to this device itself; then the
// link is its own and stays its own.
void CreateDriveLink(VDISK_EXTENSION* Extension)
{
    WCHAR name[24];
    UNICODE_STRING linkName;
    Extension->LinkCreated = 0;
    if (!FormatLinkName(Extension->DriveLetter, name, &linkName)) {
        return;
    }
    UNICODE_STRING target;
    RtlInitUnicodeString(&target, Extension->DeviceName);
    Extension->LinkCreated = NT_SUCCESS(IoCreateSymbolicLink(&linkName, &target)) ? 1 : 0;
}

void DeleteDriveLink(VDISK_EXTENSION* Extension)
{
    WCHAR name[24];
    UNICODE_STRING linkName;
    if (Extension->LinkCreated && FormatLinkName(Extension->DriveLetter, name, &linkName)) {
        IoDeleteSymbolicLink(&linkName);
    }
    Extension->LinkCreated = 0;
}

void FreeFileName(VDISK_EXTENSION* Extension)
{
    PWCH buffer = nullptr;
    {
        FastMutexGuard lock(&Extension->MountLock);
        buffer = Extension->FileName.Buffer;
        Extension->FileName = UNICODE_STRING{};
    }
    if (buffer != nullptr) {
        ExFreePoolWithTag(buffer, VDISK_POOL_TAG);
    }
}

// The mount proper, with the caller impersonated.
NTSTATUS MountMedium(PDEVICE_OBJECT DeviceObject, const VDISK_MOUNT_RECORD* Record, PIO_STATUS_BLOCK IoStatus)
{
    VDISK_EXTENSION* extension = VdiskExtension(DeviceObject);

    {
        FastMutexGuard lock(&extension->MountLock);
        extension->DiskKind = Record->DiskKind;
        extension->UseLocalCache = Record->UseLocalCache;
        extension->ServerAddress = Record->ServerAddress;
        extension->ServerPort = Record->ServerPort;
        if (!IsCdDevice(DeviceObject)) {
            SetFlag(extension->ReadOnly, Record->ReadOnly != 0);
        }
    }

    // The name must end inside its field.
    size_t chars = 0;
    if (!NT_SUCCESS(RtlStringCchLengthW(reinterpret_cast<PCWSTR>(Record->FileName), VDISK_NAME_CHARS, &chars))) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    auto buffer = static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPool, VDISK_NAME_BYTES, VDISK_POOL_TAG));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(buffer, Record->FileName, VDISK_NAME_BYTES);
    {
        FastMutexGuard lock(&extension->MountLock);
        extension->FileName.Buffer = buffer;
        extension->FileName.Length = USHORT(chars * sizeof(WCHAR));
        extension->FileName.MaximumLength = VDISK_NAME_CAPACITY;
    }

    extension->DriveLetter = Record->DriveLetter;
    CreateDriveLink(extension);

    NTSTATUS status = extension->DiskKind == VDISK_KIND_NETWORK
                          ? NetDiskOpen(extension, Record, DeviceObject)
                          : FileDiskOpen(extension, Record, DeviceObject, IoStatus);
    if (!NT_SUCCESS(status)) {
        DeleteDriveLink(extension);
        FreeFileName(extension);
        return status;
    }

    if (FlagIsSet(extension->ReadOnly)) {
        DeviceObject->Characteristics |= FILE_READ_ONLY_DEVICE;
    } else {
        DeviceObject->Characteristics &= ~FILE_READ_ONLY_DEVICE;
    }
    SetFlag(extension->MediaPresent, true);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS VdiskCaptureClient(PIRP Irp)
{
    auto context = static_cast<PSECURITY_CLIENT_CONTEXT>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(SECURITY_CLIENT_CONTEXT), VDISK_POOL_TAG));
    if (context == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    SECURITY_QUALITY_OF_SERVICE qos{};
    qos.Length = sizeof(qos);
    qos.ImpersonationLevel = SecurityImpersonation;
    qos.ContextTrackingMode = SECURITY_STATIC_TRACKING;
    qos.EffectiveOnly = FALSE;
    NTSTATUS status = SeCreateClientSecurity(PsGetCurrentThread(), &qos, FALSE, context);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(context, VDISK_POOL_TAG);
        return status;
    }
    RequestClient(Irp) = context;
    return STATUS_SUCCESS;
}

VOID VdiskFreeClientSecurity(PSECURITY_CLIENT_CONTEXT Context)
{
    SeDeleteClientSecurity(Context);
    ExFreePoolWithTag(Context, VDISK_POOL_TAG);
}

VOID VdiskReleaseRequestClient(PIRP Irp)
{
    if (IsMountRequest(Irp) && RequestClient(Irp) != nullptr) {
        VdiskFreeClientSecurity(RequestClient(Irp));
        RequestClient(Irp) = nullptr;
    }
}

// Worker side of IOCTL_VDISK_MOUNT; the system buffer holds the record.
NTSTATUS VdiskMount(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    VDISK_EXTENSION* extension = VdiskExtension(DeviceObject);
    PSECURITY_CLIENT_CONTEXT client = RequestClient(Irp);
    RequestClient(Irp) = nullptr;
    Irp->IoStatus.Information = 0;

    // Another mount queued at the same time got here first.
    if (FlagIsSet(extension->MediaPresent)) {
        VdiskFreeClientSecurity(client);
        return Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    }
    if (extension->ClientSecurity != nullptr) {
        VdiskFreeClientSecurity(extension->ClientSecurity);
    }
    extension->ClientSecurity = client;

    // Without the caller's identity nothing is opened: the driver's own
    // rights must never reach a file the caller could not open.
    NTSTATUS status = SeImpersonateClientEx(client, nullptr);
    if (NT_SUCCESS(status)) {
        status = MountMedium(DeviceObject, static_cast<const VDISK_MOUNT_RECORD*>(Irp->AssociatedIrp.SystemBuffer),
                             &Irp->IoStatus);
        PsRevertToSelf();
    }
    Irp->IoStatus.Information = 0;
    return Irp->IoStatus.Status = status;
}

// Worker side of IOCTL_VDISK_UNMOUNT.
NTSTATUS VdiskUnmount(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Irp->IoStatus.Information = 0;
    // Another unmount queued at the same time got here first.
    if (!FlagIsSet(VdiskExtension(DeviceObject)->MediaPresent)) {
        return Irp->IoStatus.Status = STATUS_NO_MEDIA_IN_DEVICE;
    }
    VdiskUnmountMedium(DeviceObject);
    return Irp->IoStatus.Status = STATUS_SUCCESS;
}

VOID VdiskUnmountMedium(PDEVICE_OBJECT DeviceObject)
{
    VDISK_EXTENSION* extension = VdiskExtension(DeviceObject);
    SetFlag(extension->MediaPresent, false);
    if (extension->DiskKind == VDISK_KIND_NETWORK) {
        NetDiskClose(extension);
    } else {
        FileDiskClose(extension);
    }
    DeleteDriveLink(extension);
    FreeFileName(extension);
}
