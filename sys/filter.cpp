// Driver entry, the dispatch table, add-device and the pass-through routine.
#include "sys/filter.h"

#include "cipher/keys.h"
#include "sys/guards.h"
#include "sys/lower_io.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);

    // Everything goes down the stack untouched unless overridden below.
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        DriverObject->MajorFunction[i] = FilterPassThrough;
    }
    DriverObject->MajorFunction[IRP_MJ_READ] = FilterRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = FilterWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FilterDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = FilterDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = FilterPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = FilterPower;
    DriverObject->DriverExtension->AddDevice = FilterAddDevice;
    DriverObject->DriverUnload = FilterUnload;
    return STATUS_SUCCESS;
}

VOID FilterUnload(PDRIVER_OBJECT DriverObject)
{
    // Devices go away through IRP_MN_REMOVE_DEVICE; nothing is left here.
    UNREFERENCED_PARAMETER(DriverObject);
}

NTSTATUS FilterAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    DEVICE_TYPE deviceType = FILE_DEVICE_UNKNOWN;
    if (!IoIsWdmVersionAvailable(1, 0x20)) {
        // Older systems want the filter to look like the device it sits on.
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(PhysicalDeviceObject);
        deviceType = top->DeviceType;
        ObDereferenceObject(top);
    }

    PDEVICE_OBJECT self = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(FILTER_EXTENSION), nullptr, deviceType,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &self);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    FILTER_EXTENSION* extension = FilterExtension(self);
    PDEVICE_OBJECT nextLower = IoAttachDeviceToDeviceStack(self, PhysicalDeviceObject);
    if (nextLower == nullptr) {
        IoDeleteDevice(self);
        return STATUS_UNSUCCESSFUL;
    }
    extension->NextLower = nextLower;

    self->Flags |= nextLower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    self->DeviceType = nextLower->DeviceType;
    self->Characteristics = nextLower->Characteristics;

    extension->Self = self;
    IoInitializeRemoveLock(&extension->RemoveLock, FILTER_REMOVE_LOCK_TAG, 1, 100);
    extension->PnpState = PnpNotStarted;
    extension->PreviousPnpState = PnpNotStarted;
    ExInitializeFastMutex(&extension->CryptLock);
    self->Flags &= ~DO_DEVICE_INITIALIZING;

    extension->Encrypted = 0;
    extension->KeyLoaded = 0;

    UCHAR fixedKey[kKeyBufferSize];
    BuildFixedKeyBuffer(fixedKey);
    AesSetKey(&extension->FixedKey, fixedKey, 256);
    SecureWipe(fixedKey, sizeof(fixedKey));
    return STATUS_SUCCESS;
}

// Contract: holds the remove lock while the request goes down; the lower
// driver completes it.
NTSTATUS FilterPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FILTER_EXTENSION* extension = FilterExtension(DeviceObject);
    RemoveLockGuard removeLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(removeLock.Status())) {
        return CompleteRequest(Irp, removeLock.Status(), 0);
    }
    return ForwardRequest(extension, Irp);
}
