// Driver entry and unload: the object directory, the sixteen devices and
// their worker threads, and the dispatch table.
#include "vdisk/vdisk.h"

#include <ntstrsafe.h>

#include "cipher/keys.h"
#include "vdisk/extension.h"

namespace {

DECLARE_CONST_UNICODE_STRING(DirectoryName, u"\\Device\\Ombrel");

// The directory handle lives from entry to unload; closing it removes the
// directory (it was made temporary at once).
HANDLE DirectoryHandle = nullptr;


NTSTATUS VdiskUnsupported(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);

    UNICODE_STRING directoryName = DirectoryName;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &directoryName, OBJ_PERMANENT | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    NTSTATUS status = ZwCreateDirectoryObject(&DirectoryHandle, DIRECTORY_ALL_ACCESS, &attributes);
    if (!NT_SUCCESS(status)) {
        DirectoryHandle = nullptr;
        return status;
    }
    ZwMakeTemporaryObject(DirectoryHandle);

    // A device that cannot be made is left out; the others still serve.
    for (ULONG n = 0; n < VDISK_DEVICES_PER_KIND; ++n) {
        VdiskCreateDevice(DriverObject, n, FILE_DEVICE_DISK);
    }
    for (ULONG n = 0; n < VDISK_DEVICES_PER_KIND; ++n) {
        VdiskCreateDevice(DriverObject, n, FILE_DEVICE_CD_ROM);
    }

    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        DriverObject->MajorFunction[i] = VdiskUnsupported;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = VdiskCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = VdiskCreateClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = VdiskReadWrite;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = VdiskReadWrite;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = VdiskFlush;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = VdiskDeviceControl;
    DriverObject->DriverUnload = VdiskUnload;
    return STATUS_SUCCESS;
}

NTSTATUS VdiskCreateDevice(PDRIVER_OBJECT DriverObject, ULONG Number, DEVICE_TYPE Type)
{
    WCHAR name[VDISK_DEVICE_NAME_CHARS] = {};
    RtlStringCchPrintfW(name, RTL_NUMBER_OF(name),
                        Type == FILE_DEVICE_CD_ROM ? u"\\Device\\Ombrel\\OmbrelCd%u" : u"\\Device\\Ombrel\\Ombrel%u",
                        Number);
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, name);

    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        IoCreateDevice(DriverObject, sizeof(VDISK_EXTENSION), &deviceName, Type, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    device->Flags |= DO_DIRECT_IO;
    VDISK_EXTENSION* extension = VdiskExtension(device);
    extension->MediaPresent = 0;
    extension->DeviceNumber = Number;
    RtlCopyMemory(extension->DeviceName, name, sizeof(name));
    if (Type == FILE_DEVICE_CD_ROM) {
        device->Characteristics |= FILE_READ_ONLY_DEVICE;
        extension->ReadOnly = 1;
    }

    InitializeListHead(&extension->Queue);
    KeInitializeSpinLock(&extension->QueueLock);
    KeInitializeEvent(&extension->QueueEvent, SynchronizationEvent, FALSE);
    extension->StopWorker = 0;

    // The keys and locks are ready before the worker can see the device.
    ExInitializeFastMutex(&extension->CryptLock);
    ExInitializeFastMutex(&extension->MountLock);
    extension->Encrypted = 0;
    extension->KeyLoaded = 0;
    uint8_t fixedKey[kKeyBufferSize];
    BuildFixedKeyBuffer(fixedKey);
    AesSetKey(&extension->FixedKey, fixedKey, 256);
    SecureWipe(fixedKey, sizeof(fixedKey));

    // The worker holds its own reference on the device, so the device's
    // memory outlives the thread even when the thread cannot be waited for.
    ObReferenceObject(device);
    HANDLE threadHandle = nullptr;
    status = PsCreateSystemThread(&threadHandle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, VdiskWorkerThread,
                                  device);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(device);
        AesWipeKey(&extension->FixedKey);
        IoDeleteDevice(device);
        return status;
    }
    PVOID thread = nullptr;
    status = ObReferenceObjectByHandle(threadHandle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(threadHandle);
    if (!NT_SUCCESS(status)) {
        SetFlag(extension->StopWorker, true);
        KeSetEvent(&extension->QueueEvent, 0, FALSE);
        AesWipeKey(&extension->FixedKey);
        IoDeleteDevice(device);
        return status;
    }
    extension->WorkerThread = static_cast<PETHREAD>(thread);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// Unload: every worker stops (requests still queued fail), a medium still
// mounted is unmounted, the last mount's caller context goes, keys are
// wiped, and the device is deleted; then the directory goes.
VOID VdiskUnload(PDRIVER_OBJECT DriverObject)
{
    PDEVICE_OBJECT device = DriverObject->DeviceObject;
    while (device != nullptr) {
        PDEVICE_OBJECT next = device->NextDevice;
        VDISK_EXTENSION* extension = VdiskExtension(device);

        VdiskStopWorker(extension);
        if (FlagIsSet(extension->MediaPresent)) {
            VdiskUnmountMedium(device);
        }
        if (extension->ClientSecurity != nullptr) {
            VdiskFreeClientSecurity(extension->ClientSecurity);
            extension->ClientSecurity = nullptr;
        }
        {
            FastMutexGuard lock(&extension->CryptLock);
            VdiskForgetKey(extension);
            SetFlag(extension->Encrypted, false);
        }
        AesWipeKey(&extension->FixedKey);
        IoDeleteDevice(device);
        device = next;
    }
    if (DirectoryHandle != nullptr) {
        ZwClose(DirectoryHandle);
        DirectoryHandle = nullptr;
    }
}

VOID VdiskForgetKey(VDISK_EXTENSION* Extension)
{
    SetFlag(Extension->KeyLoaded, false);
    AesWipeKey(&Extension->UserKey);
}
