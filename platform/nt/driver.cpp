// Driver objects: loading (running DriverEntry) and unloading.
#include "host.h"
#include "private/object.h"

namespace tarn::nt {
_OBJECT_TYPE ObDriverType{"Driver", 0x76697244 /* "Driv" */, nullptr};
}  // namespace tarn::nt

using namespace tarn::nt;

namespace {

POBJECT_TYPE DriverTypePointer = &ObDriverType;

// What every dispatch slot holds until the driver fills it.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  (void)DeviceObject;
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

POBJECT_TYPE* IoDriverObjectType = &DriverTypePointer;

extern "C" NTSTATUS NtHostLoadDriver(PCWSTR DriverName, PDRIVER_INITIALIZE DriverInit,
                                     PUNICODE_STRING RegistryPath, PDRIVER_OBJECT* DriverObject) {
  *DriverObject = nullptr;
  if (DriverName == nullptr || DriverInit == nullptr) return STATUS_INVALID_PARAMETER;
  std::u16string name = ToU16(DriverName);
  if (name.size() * sizeof(WCHAR) >= MAXUSHORT) return STATUS_OBJECT_NAME_INVALID;
  SIZE_T nameBytes = (name.size() + 1) * sizeof(WCHAR);
  auto* driver = static_cast<PDRIVER_OBJECT>(
      CreateObject(&ObDriverType, sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION) + nameBytes));
  if (driver == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto* extension = reinterpret_cast<PDRIVER_EXTENSION>(driver + 1);
  auto* nameBuffer = reinterpret_cast<PWSTR>(extension + 1);
  driver->Type = IO_TYPE_DRIVER;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = extension;
  extension->DriverObject = driver;
  memcpy(nameBuffer, name.c_str(), nameBytes);
  driver->DriverName.Buffer = nameBuffer;
  driver->DriverName.Length = USHORT(name.size() * sizeof(WCHAR));
  driver->DriverName.MaximumLength = USHORT(nameBytes);
  driver->DriverInit = DriverInit;
  for (auto& slot : driver->MajorFunction) slot = InvalidDeviceRequest;

  NTSTATUS status = InsertObject(driver, nullptr, name, true, false, nullptr);
  if (!NT_SUCCESS(status)) {
    ObfDereferenceObject(driver);
    return status;
  }
  UNICODE_STRING emptyPath = {0, 0, nullptr};
  status = DriverInit(driver, RegistryPath != nullptr ? RegistryPath : &emptyPath);
  if (!NT_SUCCESS(status)) {
    RemoveObjectName(driver);
    ObfDereferenceObject(driver);
    return status;
  }
  *DriverObject = driver;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NtHostUnloadDriver(PDRIVER_OBJECT DriverObject) {
  CheckedHeaderOf(DriverObject);
  if (DriverObject->DriverUnload == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  DriverObject->DriverUnload(DriverObject);
  if (DriverObject->DeviceObject != nullptr)
    DbgPrint("NtHostUnloadDriver: %p left devices behind after its unload routine\n", (void*)DriverObject);
  RemoveObjectName(DriverObject);
  ObfDereferenceObject(DriverObject);
  return STATUS_SUCCESS;
}
