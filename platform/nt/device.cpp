// Device objects and device stacks.
//
// Device database lock: guards every device's AttachedDevice, its
// extension's AttachedTo and ExtensionFlags, and each driver's DeviceObject /
// NextDevice chain. Those fields sit in driver-visible structures, so the
// lock cannot wrap them; everything here touches them only with it held.
#include <mutex>

#include "host.h"
#include "private/object.h"

namespace tarn::nt {

namespace {

std::mutex DeviceDatabaseLock;

constexpr SIZE_T Round16(SIZE_T n) { return (n + 15) & ~SIZE_T(15); }

void DeleteDevice(PVOID Body) {
  auto* device = static_cast<PDEVICE_OBJECT>(Body);
  if (device->DriverObject != nullptr) ObfDereferenceObject(device->DriverObject);
}

void DeleteFile(PVOID Body) {
  auto* file = static_cast<PFILE_OBJECT>(Body);
  if (file->DeviceObject != nullptr) ObfDereferenceObject(file->DeviceObject);
}

PDEVICE_OBJECT TopOf(PDEVICE_OBJECT Device) {
  while (Device->AttachedDevice != nullptr) Device = Device->AttachedDevice;
  return Device;
}

}  // namespace

_OBJECT_TYPE ObDeviceType{"Device", 0x69766544 /* "Devi" */, DeleteDevice};
_OBJECT_TYPE ObFileType{"File", 0x656C6946 /* "File" */, DeleteFile};

}  // namespace tarn::nt

using namespace tarn::nt;

namespace {
POBJECT_TYPE DeviceTypePointer = &ObDeviceType;
POBJECT_TYPE FileTypePointer = &ObFileType;
}  // namespace
POBJECT_TYPE* IoDeviceObjectType = &DeviceTypePointer;
POBJECT_TYPE* IoFileObjectType = &FileTypePointer;

extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                   PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics,
                                   BOOLEAN Exclusive, PDEVICE_OBJECT* DeviceObject) {
  if (DriverObject == nullptr || DeviceObject == nullptr) return STATUS_INVALID_PARAMETER;
  *DeviceObject = nullptr;
  SIZE_T objectSize = Round16(sizeof(DEVICE_OBJECT)) + Round16(sizeof(DEVOBJ_EXTENSION));
  auto* device = static_cast<PDEVICE_OBJECT>(CreateObject(&ObDeviceType, objectSize + DeviceExtensionSize));
  if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

  auto* ext = reinterpret_cast<PDEVOBJ_EXTENSION>(reinterpret_cast<char*>(device) + Round16(sizeof(DEVICE_OBJECT)));
  device->Type = IO_TYPE_DEVICE;
  device->Size = USHORT(objectSize + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  ObfReferenceObject(DriverObject);  // the driver object lives as long as its devices
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  device->AlignmentRequirement = FILE_BYTE_ALIGNMENT;
  device->DeviceExtension = DeviceExtensionSize != 0 ? reinterpret_cast<char*>(device) + objectSize : nullptr;
  switch (DeviceType) {
    case FILE_DEVICE_DISK:
    case FILE_DEVICE_DISK_FILE_SYSTEM:
    case FILE_DEVICE_VIRTUAL_DISK:
    case FILE_DEVICE_TAPE:
    case FILE_DEVICE_TAPE_FILE_SYSTEM:
      device->SectorSize = 512;
      break;
    case FILE_DEVICE_CD_ROM:
    case FILE_DEVICE_CD_ROM_FILE_SYSTEM:
    case FILE_DEVICE_DVD:
      device->SectorSize = 2048;
      break;
  }
  KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
  InitializeListHead(&device->Queue.ListEntry);
  ext->Type = IO_TYPE_DEVICE_OBJECT_EXTENSION;
  ext->Size = sizeof(DEVOBJ_EXTENSION);
  ext->DeviceObject = device;
  device->DeviceObjectExtension = ext;

  if (DeviceName != nullptr && DeviceName->Length != 0) {
    NTSTATUS status = InsertObject(device, nullptr, ToU16(DeviceName), true, false, nullptr);
    if (!NT_SUCCESS(status)) {
      ObfDereferenceObject(device);
      return status;
    }
    device->Flags |= DO_DEVICE_HAS_NAME;
  }
  {
    std::lock_guard<std::mutex> g(DeviceDatabaseLock);
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
  }
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

extern "C" VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  CheckedHeaderOf(DeviceObject);
  PDEVICE_OBJECT lower = nullptr;
  {
    std::lock_guard<std::mutex> g(DeviceDatabaseLock);
    PDEVOBJ_EXTENSION ext = DeviceObject->DeviceObjectExtension;
    if (ext->ExtensionFlags & DOE_DELETE_PENDING)
      KeBugCheckEx(0x18 /* REFERENCE_BY_POINTER */, (ULONG_PTR)DeviceObject, 4, 0, 0);  // deleted twice
    ext->ExtensionFlags |= DOE_DELETE_PENDING;
    for (PDEVICE_OBJECT* p = &DeviceObject->DriverObject->DeviceObject; *p != nullptr; p = &(*p)->NextDevice) {
      if (*p == DeviceObject) {
        *p = DeviceObject->NextDevice;
        break;
      }
    }
    DeviceObject->NextDevice = nullptr;
    // A device deleted while still attached would leave the one below
    // pointing at freed memory; detach it on the driver's behalf.
    lower = ext->AttachedTo;
    if (lower != nullptr) {
      DbgPrint("IoDeleteDevice: device %p deleted while attached to %p; detaching\n", (void*)DeviceObject,
               (void*)lower);
      lower->AttachedDevice = nullptr;
      ext->AttachedTo = nullptr;
    }
  }
  if (DeviceObject->Flags & DO_DEVICE_HAS_NAME) RemoveObjectName(DeviceObject);
  if (lower != nullptr) ObfDereferenceObject(lower);
  ObfDereferenceObject(DeviceObject);
}

extern "C" PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  std::lock_guard<std::mutex> g(DeviceDatabaseLock);
  PDEVICE_OBJECT top = TopOf(TargetDevice);
  const ULONG gone = DOE_DELETE_PENDING | DOE_UNLOAD_PENDING | DOE_REMOVE_PENDING | DOE_REMOVE_PROCESSED;
  if ((top->DeviceObjectExtension->ExtensionFlags & gone) ||
      (TargetDevice->DeviceObjectExtension->ExtensionFlags & gone))
    return nullptr;
  if (SourceDevice->DeviceObjectExtension->AttachedTo != nullptr || top == SourceDevice) return nullptr;
  top->AttachedDevice = SourceDevice;
  SourceDevice->DeviceObjectExtension->AttachedTo = top;
  SourceDevice->StackSize = CCHAR(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  SourceDevice->SectorSize = top->SectorSize;
  ObfReferenceObject(top);  // the attachment keeps the lower device's memory
  return top;
}

extern "C" VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  {
    std::lock_guard<std::mutex> g(DeviceDatabaseLock);
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (upper == nullptr) return;
    upper->DeviceObjectExtension->AttachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
  }
  ObfDereferenceObject(TargetDevice);
}

extern "C" PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<std::mutex> g(DeviceDatabaseLock);
  return TopOf(DeviceObject);
}

extern "C" PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<std::mutex> g(DeviceDatabaseLock);
  PDEVICE_OBJECT top = TopOf(DeviceObject);
  ObfReferenceObject(top);
  return top;
}

extern "C" PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<std::mutex> g(DeviceDatabaseLock);
  PDEVICE_OBJECT lower = DeviceObject->DeviceObjectExtension->AttachedTo;
  if (lower != nullptr) ObfReferenceObject(lower);
  return lower;
}

// This layer reports a current WDM version, so every older one is there.
extern "C" BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  constexpr UCHAR kMajor = 6, kMinor = 0x03;
  return MajorVersion < kMajor || (MajorVersion == kMajor && MinorVersion <= kMinor);
}

extern "C" NTSTATUS NtHostCreateFileObject(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT* FileObject) {
  *FileObject = nullptr;
  auto* file = static_cast<PFILE_OBJECT>(CreateObject(&ObFileType, sizeof(FILE_OBJECT)));
  if (file == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  file->Type = IO_TYPE_FILE;
  file->Size = sizeof(FILE_OBJECT);
  ObfReferenceObject(DeviceObject);
  file->DeviceObject = DeviceObject;
  file->ReadAccess = file->WriteAccess = TRUE;
  KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
  KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
  *FileObject = file;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                             PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject) {
  (void)DesiredAccess;
  *FileObject = nullptr;
  *DeviceObject = nullptr;
  PVOID object;
  NTSTATUS status = NtHostReferenceObjectByName(ObjectName, &ObDeviceType, &object);
  if (!NT_SUCCESS(status)) return status;
  auto* named = static_cast<PDEVICE_OBJECT>(object);
  PFILE_OBJECT file;
  status = NtHostCreateFileObject(named, &file);
  ObfDereferenceObject(named);
  if (!NT_SUCCESS(status)) return status;
  *FileObject = file;
  *DeviceObject = IoGetAttachedDevice(named);
  return STATUS_SUCCESS;
}

extern "C" PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) {
  return IoGetAttachedDevice(FileObject->DeviceObject);
}
