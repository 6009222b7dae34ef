// Device objects: creation, stacks, detaching and reference counts.
#include <gtest/gtest.h>

#include "fake_driver.h"
#include "platform/nt/host.h"
#include "platform/nt/testing.h"

namespace {

using tarn::nt::test::Complete;
using tarn::nt::test::FakeDriver;

constexpr ULONG kDeviceTag = 0x69766544;  // device objects' pool tag

NTSTATUS Succeed(PDEVICE_OBJECT, PIRP Irp) { return Complete(Irp, STATUS_SUCCESS); }

TEST(Device, CreationZeroesTheExtensionAndMarksTheDeviceInitializing) {
  FakeDriver driver;
  PDEVICE_OBJECT dev = nullptr;
  ASSERT_EQ(IoCreateDevice(driver.Object(), 4000, nullptr, FILE_DEVICE_CD_ROM, FILE_REMOVABLE_MEDIA, FALSE, &dev),
            STATUS_SUCCESS);
  auto* ext = static_cast<UCHAR*>(dev->DeviceExtension);
  bool zero = true;
  for (int i = 0; i < 4000; ++i) zero &= ext[i] == 0;
  EXPECT_TRUE(zero);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(ext) % 16, 0u);
  EXPECT_TRUE(dev->Flags & DO_DEVICE_INITIALIZING);
  EXPECT_FALSE(dev->Flags & DO_DEVICE_HAS_NAME);
  EXPECT_EQ(dev->DeviceType, ULONG(FILE_DEVICE_CD_ROM));
  EXPECT_EQ(dev->Characteristics, ULONG(FILE_REMOVABLE_MEDIA));
  EXPECT_EQ(dev->StackSize, 1);
  EXPECT_EQ(dev->DriverObject, driver.Object());
  EXPECT_EQ(driver.Object()->DeviceObject, dev);
  IoDeleteDevice(dev);
  EXPECT_EQ(driver.Object()->DeviceObject, nullptr);
}

TEST(Device, StacksGrowOnTheCurrentTopAndShrinkOnDetach) {
  FakeDriver driver;
  PDEVICE_OBJECT bottom = driver.AddDevice(Succeed);
  bottom->AlignmentRequirement = FILE_512_BYTE_ALIGNMENT;
  PDEVICE_OBJECT middle = driver.AddDevice(Succeed);
  PDEVICE_OBJECT top = driver.AddDevice(Succeed);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(middle, bottom), bottom);
  // Attaching to the bottom lands on whatever is on top now.
  EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), middle);
  EXPECT_EQ(middle->StackSize, 2);
  EXPECT_EQ(top->StackSize, 3);
  EXPECT_EQ(top->AlignmentRequirement, ULONG(FILE_512_BYTE_ALIGNMENT));
  EXPECT_EQ(bottom->AttachedDevice, middle);
  EXPECT_EQ(middle->AttachedDevice, top);
  EXPECT_EQ(IoGetAttachedDevice(bottom), top);

  LONG_PTR before = NtObjectPointerCount(top);
  PDEVICE_OBJECT ref = IoGetAttachedDeviceReference(bottom);
  EXPECT_EQ(ref, top);
  EXPECT_EQ(NtObjectPointerCount(top), before + 1);
  ObDereferenceObject(ref);
  EXPECT_EQ(NtObjectPointerCount(top), before);

  PDEVICE_OBJECT lower = IoGetLowerDeviceObject(top);
  EXPECT_EQ(lower, middle);
  ObDereferenceObject(lower);
  EXPECT_EQ(IoGetLowerDeviceObject(bottom), nullptr);

  IoDetachDevice(middle);
  EXPECT_EQ(middle->AttachedDevice, nullptr);
  EXPECT_EQ(IoGetAttachedDevice(bottom), middle);
  EXPECT_EQ(IoGetLowerDeviceObject(top), nullptr);
}

TEST(Device, DeletedDeviceLivesUntilItsLastReference) {
  ULONG devicesBefore = NtPoolOutstanding(kDeviceTag);
  {
    FakeDriver driver;
    PDEVICE_OBJECT dev = driver.AddDevice(Succeed, DO_DIRECT_IO, u"\\Device\\TarnRefTest");
    ObReferenceObject(dev);
    driver.Remove(dev);
    EXPECT_EQ(NtPoolOutstanding(kDeviceTag), devicesBefore + 1) << "freed while still referenced";
    EXPECT_EQ(dev->Type, IO_TYPE_DEVICE);
    EXPECT_TRUE(dev->DeviceObjectExtension->ExtensionFlags & DOE_DELETE_PENDING);
    // The name went with the delete, and nothing attaches to it any more.
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\TarnRefTest");
    PVOID found = nullptr;
    EXPECT_EQ(NtHostReferenceObjectByName(&name, nullptr, &found), STATUS_OBJECT_NAME_NOT_FOUND);
    PDEVICE_OBJECT filter = driver.AddDevice(Succeed);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, dev), nullptr);
    ObDereferenceObject(dev);
    EXPECT_EQ(NtPoolOutstanding(kDeviceTag), devicesBefore + 1) << "only the filter is left";
  }
  EXPECT_EQ(NtPoolOutstanding(kDeviceTag), devicesBefore);
}

TEST(Device, LowerDeviceOutlivesItsDeleteWhileSomethingIsAttachedAbove) {
  FakeDriver driver;
  PDEVICE_OBJECT bottom = driver.AddDevice(Succeed);
  PDEVICE_OBJECT filter = driver.AddDevice(Succeed);
  ASSERT_EQ(IoAttachDeviceToDeviceStack(filter, bottom), bottom);
  ULONG devices = NtPoolOutstanding(kDeviceTag);
  driver.Remove(bottom);  // surprise: the bottom goes first
  EXPECT_EQ(NtPoolOutstanding(kDeviceTag), devices) << "the filter still points at it";
  IoDetachDevice(bottom);
  EXPECT_EQ(NtPoolOutstanding(kDeviceTag), devices - 1);
}

TEST(Device, NamesCollideAndNeedTheirDirectory) {
  FakeDriver driver;
  NTSTATUS status;
  EXPECT_NE(driver.AddDevice(Succeed, 0, u"\\Device\\TarnNameTest", &status), nullptr);
  EXPECT_EQ(driver.AddDevice(Succeed, 0, u"\\device\\TARNNAMETEST", &status), nullptr);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION) << "names compare without case";
  EXPECT_EQ(driver.AddDevice(Succeed, 0, u"\\Device\\NoSuchDir\\X", &status), nullptr);
  EXPECT_EQ(status, STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(driver.AddDevice(Succeed, 0, u"\\Device\\Bad\\", &status), nullptr);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_INVALID);
}

TEST(Device, CreationFailsCleanlyWhenMemoryRunsOut) {
  FakeDriver driver;
  ULONG before = NtPoolOutstandingTotal();
  NtPoolFailAllocation(kDeviceTag, 1);
  PDEVICE_OBJECT dev = reinterpret_cast<PDEVICE_OBJECT>(1);
  EXPECT_EQ(IoCreateDevice(driver.Object(), 16, nullptr, FILE_DEVICE_DISK, 0, FALSE, &dev),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(dev, nullptr);
  EXPECT_EQ(NtPoolOutstandingTotal(), before);
  NtResetFaults();
}

TEST(Device, DriverDispatchSlotsStartAsInvalidRequest) {
  PDRIVER_OBJECT other = nullptr;
  ASSERT_EQ(NtHostLoadDriver(u"\\Driver\\TarnEmpty", [](PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; },
                             nullptr, &other),
            STATUS_SUCCESS);
  PDEVICE_OBJECT plain = nullptr;
  ASSERT_EQ(IoCreateDevice(other, 0, nullptr, FILE_DEVICE_DISK, 0, FALSE, &plain), STATUS_SUCCESS);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  PIRP irp = IoBuildDeviceIoControlRequest(0x70000, plain, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
  EXPECT_EQ(IoCallDriver(plain, irp), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
  IoDeleteDevice(plain);
  EXPECT_EQ(NtHostUnloadDriver(other), STATUS_INVALID_DEVICE_REQUEST) << "no unload routine: cannot unload";
  other->DriverUnload = [](PDRIVER_OBJECT) {};
  EXPECT_EQ(NtHostUnloadDriver(other), STATUS_SUCCESS);
}

TEST(Device, WdmVersionsUpToCurrentAreAvailable) {
  EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x20));
  EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x10));
  EXPECT_TRUE(IoIsWdmVersionAvailable(6, 0x00));
  EXPECT_FALSE(IoIsWdmVersionAvailable(7, 0x00));
}

}  // namespace
