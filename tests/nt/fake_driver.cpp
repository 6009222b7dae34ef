#include "fake_driver.h"

#include <atomic>

#include "platform/nt/host.h"

namespace tarn::nt::test {

namespace {

struct FakeExtension {
  Dispatch* Handler;
};

NTSTATUS Route(PDEVICE_OBJECT Device, PIRP Irp) {
  return (*static_cast<FakeExtension*>(Device->DeviceExtension)->Handler)(Device, Irp);
}

VOID Unload(PDRIVER_OBJECT) {}

NTSTATUS Entry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  for (auto& slot : Driver->MajorFunction) slot = Route;
  Driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

std::atomic<int> NextDriver{0};

}  // namespace

FakeDriver::FakeDriver() {
  std::string name = "\\Driver\\fake" + std::to_string(NextDriver++);
  std::u16string wide(name.begin(), name.end());
  NtHostLoadDriver(wide.c_str(), Entry, nullptr, &driver_);
}

FakeDriver::~FakeDriver() {
  while (!devices_.empty()) Remove(devices_.back());
  NtHostUnloadDriver(driver_);
}

PDEVICE_OBJECT FakeDriver::AddDevice(Dispatch Handler, ULONG Flags, const char16_t* Name, NTSTATUS* Status) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Name);
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver_, sizeof(FakeExtension), Name != nullptr ? &name : nullptr,
                                   FILE_DEVICE_DISK, 0, FALSE, &device);
  if (Status != nullptr) *Status = status;
  if (!NT_SUCCESS(status)) return nullptr;
  static_cast<FakeExtension*>(device->DeviceExtension)->Handler = new Dispatch(std::move(Handler));
  device->Flags |= Flags;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  devices_.push_back(device);
  return device;
}

std::vector<PDEVICE_OBJECT> FakeDriver::AddStack(std::vector<Dispatch> Handlers, ULONG Flags) {
  std::vector<PDEVICE_OBJECT> stack;
  for (auto& h : Handlers) {
    PDEVICE_OBJECT d = AddDevice(std::move(h), Flags);
    if (!stack.empty()) IoAttachDeviceToDeviceStack(d, stack.back());
    stack.push_back(d);
  }
  return stack;
}

void FakeDriver::Remove(PDEVICE_OBJECT Device) {
  std::erase(devices_, Device);
  PDEVICE_OBJECT lower = IoGetLowerDeviceObject(Device);
  if (lower != nullptr) {
    IoDetachDevice(lower);
    ObDereferenceObject(lower);
  }
  delete static_cast<FakeExtension*>(Device->DeviceExtension)->Handler;
  IoDeleteDevice(Device);
}

}  // namespace tarn::nt::test
