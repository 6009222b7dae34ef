// Requests built by the I/O manager: buffers by the target's I/O method,
// what the I/O manager does at the end, who frees what, and failures while
// building.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "fake_driver.h"
#include "platform/nt/testing.h"

namespace {

using tarn::nt::test::Complete;
using tarn::nt::test::FakeDriver;

// Where the device finds the caller's data for each method.
PVOID DataOf(PDEVICE_OBJECT Device, PIRP Irp) {
  if (Device->Flags & DO_BUFFERED_IO) return Irp->AssociatedIrp.SystemBuffer;
  if (Device->Flags & DO_DIRECT_IO) return MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority);
  return Irp->UserBuffer;
}

void ExpectNothingOutstanding() {
  EXPECT_EQ(NtPoolOutstanding(NT_TAG_IRP), 0u);
  EXPECT_EQ(NtPoolOutstanding(NT_TAG_MDL), 0u);
  EXPECT_EQ(NtPoolOutstanding(NT_TAG_SYSTEM_BUFFER), 0u);
}

NTSTATUS CallAndWait(PDEVICE_OBJECT Device, PIRP Irp, PKEVENT Event, PIO_STATUS_BLOCK Iosb) {
  NTSTATUS status = IoCallDriver(Device, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, nullptr);
    status = Iosb->Status;
  }
  return status;
}

class SynchronousTransfer : public ::testing::TestWithParam<ULONG> {};

TEST_P(SynchronousTransfer, ReadsAndWritesReachTheDeviceAndEverythingIsFreed) {
  const ULONG method = GetParam();
  FakeDriver driver;
  UCHAR medium[1024] = {};
  PDEVICE_OBJECT dev = driver.AddDevice(
      [&](PDEVICE_OBJECT d, PIRP Irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
        auto* data = static_cast<UCHAR*>(DataOf(d, Irp));
        if (data == nullptr) return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES);
        UCHAR* at = medium + sp->Parameters.Read.ByteOffset.QuadPart;
        if (sp->MajorFunction == IRP_MJ_WRITE)
          memcpy(at, data, sp->Parameters.Write.Length);
        else
          memcpy(data, at, sp->Parameters.Read.Length);
        return Complete(Irp, STATUS_SUCCESS, sp->Parameters.Read.Length);
      },
      method);

  UCHAR out[512], in[512] = {};
  std::iota(out, out + 512, 0);
  LARGE_INTEGER offset;
  offset.QuadPart = 512;
  for (UCHAR major : {IRP_MJ_WRITE, IRP_MJ_READ}) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    PIRP irp = IoBuildSynchronousFsdRequest(major, dev, major == IRP_MJ_WRITE ? out : in, 512, &offset, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(CallAndWait(dev, irp, &event, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1) << "the event is set even when the request finished at once";
    EXPECT_EQ(iosb.Information, 512u);
  }
  EXPECT_EQ(memcmp(medium + 512, out, 512), 0);
  EXPECT_EQ(memcmp(in, out, 512), 0);
  ExpectNothingOutstanding();
}

INSTANTIATE_TEST_SUITE_P(Methods, SynchronousTransfer, ::testing::Values(DO_DIRECT_IO, DO_BUFFERED_IO, 0u));

TEST(BuiltRequest, BufferedReadNeverCopiesBackMoreThanTheCallerGave) {
  FakeDriver driver;
  PDEVICE_OBJECT dev = driver.AddDevice(
      [](PDEVICE_OBJECT, PIRP Irp) {
        memset(Irp->AssociatedIrp.SystemBuffer, 0x11, IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length);
        return Complete(Irp, STATUS_SUCCESS, 1 << 20);  // claims far more than it was given
      },
      DO_BUFFERED_IO);
  UCHAR buffer[600];
  memset(buffer, 0xEE, sizeof(buffer));
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, dev, buffer, 512, nullptr, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(CallAndWait(dev, irp, &event, &iosb), STATUS_SUCCESS);
  EXPECT_EQ(buffer[511], 0x11);
  EXPECT_EQ(buffer[512], 0xEE) << "bytes past the caller's length were overwritten";
  ExpectNothingOutstanding();
}

TEST(BuiltRequest, FailedBufferedReadLeavesTheCallersBufferAlone) {
  FakeDriver driver;
  PDEVICE_OBJECT dev = driver.AddDevice(
      [](PDEVICE_OBJECT, PIRP Irp) {
        memset(Irp->AssociatedIrp.SystemBuffer, 0x11, 512);
        return Complete(Irp, STATUS_DEVICE_DATA_ERROR, 512);
      },
      DO_BUFFERED_IO);
  UCHAR buffer[512];
  memset(buffer, 0xEE, sizeof(buffer));
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, dev, buffer, 512, nullptr, &event, &iosb);
  EXPECT_EQ(CallAndWait(dev, irp, &event, &iosb), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(iosb.Status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(buffer[0], 0xEE);
  ExpectNothingOutstanding();
}

// What a driver's completion routine for its own asynchronous request does.
NTSTATUS FreeAsyncRequest(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto* iosb = static_cast<PIO_STATUS_BLOCK>(Context);
  *iosb = Irp->IoStatus;
  if ((Irp->Flags & IRP_DEALLOCATE_BUFFER) && Irp->AssociatedIrp.SystemBuffer != nullptr)
    ExFreePool(Irp->AssociatedIrp.SystemBuffer);
  while (PMDL mdl = Irp->MdlAddress) {
    Irp->MdlAddress = mdl->Next;
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
  }
  IoFreeIrp(Irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(BuiltRequest, AsynchronousRequestsAreFreedByTheirCompletionRoutine) {
  for (ULONG method : {ULONG(DO_DIRECT_IO), ULONG(DO_BUFFERED_IO)}) {
    FakeDriver driver;
    PDEVICE_OBJECT dev = driver.AddDevice(
        [](PDEVICE_OBJECT d, PIRP Irp) {
          auto* data = static_cast<UCHAR*>(DataOf(d, Irp));
          PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
          if (sp->MajorFunction == IRP_MJ_READ) memset(data, 0x42, sp->Parameters.Read.Length);
          return Complete(Irp, STATUS_SUCCESS, sp->Parameters.Read.Length);
        },
        method);
    UCHAR buffer[2048] = {};
    for (UCHAR major : {IRP_MJ_WRITE, IRP_MJ_READ}) {
      IO_STATUS_BLOCK iosb = {};
      LARGE_INTEGER zero = {};
      PIRP irp = IoBuildAsynchronousFsdRequest(major, dev, buffer, sizeof(buffer), &zero, &iosb);
      ASSERT_NE(irp, nullptr);
      IoSetCompletionRoutine(irp, FreeAsyncRequest, &iosb, TRUE, TRUE, TRUE);
      EXPECT_EQ(IoCallDriver(dev, irp), STATUS_SUCCESS);
      EXPECT_EQ(iosb.Information, sizeof(buffer));
    }
    EXPECT_EQ(buffer[2047], 0x42) << "read data must reach the caller before its routine runs (method " << method << ")";
    ExpectNothingOutstanding();
  }
}

TEST(BuiltRequest, BufferedDeviceControlCarriesInputAndCopiesBackOnlyWhatFits) {
  constexpr ULONG kCode = CTL_CODE(0x8A, 0x801, METHOD_BUFFERED, FILE_READ_ACCESS);
  FakeDriver driver;
  ULONG seenIn = 0, seenOut = 0, seenCode = 0;
  UCHAR seenFirst = 0;
  PDEVICE_OBJECT dev = driver.AddDevice([&](PDEVICE_OBJECT, PIRP Irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    seenIn = sp->Parameters.DeviceIoControl.InputBufferLength;
    seenOut = sp->Parameters.DeviceIoControl.OutputBufferLength;
    seenCode = sp->Parameters.DeviceIoControl.IoControlCode;
    auto* sys = static_cast<UCHAR*>(Irp->AssociatedIrp.SystemBuffer);
    seenFirst = sys[0];
    memset(sys, 0x77, std::max(seenIn, seenOut));
    return Complete(Irp, STATUS_SUCCESS, 4096);
  });
  UCHAR input[32];
  memset(input, 0x33, sizeof(input));
  UCHAR output[8];
  memset(output, 0, sizeof(output));
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  PIRP irp = IoBuildDeviceIoControlRequest(kCode, dev, input, sizeof(input), output, 4, FALSE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
  EXPECT_EQ(CallAndWait(dev, irp, &event, &iosb), STATUS_SUCCESS);
  EXPECT_EQ(seenCode, kCode);
  EXPECT_EQ(seenIn, 32u);
  EXPECT_EQ(seenOut, 4u);
  EXPECT_EQ(seenFirst, 0x33);
  EXPECT_EQ(output[3], 0x77);
  EXPECT_EQ(output[4], 0x00) << "copied past OutputBufferLength";
  ExpectNothingOutstanding();
}

// The input is copied in as the buffer is made; only the bytes past it are
// left uninitialised (the pool's pattern, never zeroes a driver could trust).
TEST(BuiltRequest, SystemBufferHoldsTheInputThenUninitialisedBytes) {
  constexpr ULONG kCode = CTL_CODE(0x8A, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
  FakeDriver driver;
  std::vector<UCHAR> seen;
  PDEVICE_OBJECT dev = driver.AddDevice([&](PDEVICE_OBJECT, PIRP Irp) {
    auto* sys = static_cast<UCHAR*>(Irp->AssociatedIrp.SystemBuffer);
    seen.assign(sys, sys + 4096);
    return Complete(Irp, STATUS_SUCCESS, 0);
  });
  std::vector<UCHAR> input(1000);
  std::iota(input.begin(), input.end(), UCHAR(1));
  std::vector<UCHAR> output(4096);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  PIRP irp = IoBuildDeviceIoControlRequest(kCode, dev, input.data(), ULONG(input.size()), output.data(),
                                           ULONG(output.size()), FALSE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(CallAndWait(dev, irp, &event, &iosb), STATUS_SUCCESS);
  ASSERT_EQ(seen.size(), 4096u);
  EXPECT_TRUE(std::equal(input.begin(), input.end(), seen.begin()));
  EXPECT_TRUE(std::all_of(seen.begin() + 1000, seen.end(), [&](UCHAR b) { return b == seen[1000]; }));
  EXPECT_NE(seen[1000], 0);
  ExpectNothingOutstanding();
}

TEST(BuiltRequest, InternalDeviceControlUsesItsOwnMajorFunction) {
  FakeDriver driver;
  PDEVICE_OBJECT dev = driver.AddDevice([](PDEVICE_OBJECT, PIRP Irp) { return Complete(Irp, STATUS_SUCCESS); });
  IO_STATUS_BLOCK iosb;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(0x2D1400, dev, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode, 0x2D1400u);
  EXPECT_EQ(CallAndWait(dev, irp, &event, &iosb), STATUS_SUCCESS);
  ExpectNothingOutstanding();
}

TEST(BuiltRequest, BuildingFailsCleanlyWhenMemoryRunsOut) {
  struct Case {
    ULONG Tag;
    ULONG Method;
  } cases[] = {{NT_TAG_IRP, DO_DIRECT_IO}, {NT_TAG_MDL, DO_DIRECT_IO}, {NT_TAG_SYSTEM_BUFFER, DO_BUFFERED_IO}};
  UCHAR buffer[512];
  for (const auto& c : cases) {
    FakeDriver driver;
    PDEVICE_OBJECT dev = driver.AddDevice([](PDEVICE_OBJECT, PIRP Irp) { return Complete(Irp, STATUS_SUCCESS); },
                                          c.Method);
    NtPoolFailAllocation(c.Tag, 1);
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(IoBuildAsynchronousFsdRequest(IRP_MJ_WRITE, dev, buffer, sizeof(buffer), nullptr, &iosb), nullptr);
    ExpectNothingOutstanding();
    NtResetFaults();
  }
  FakeDriver driver;
  PDEVICE_OBJECT dev = driver.AddDevice([](PDEVICE_OBJECT, PIRP Irp) { return Complete(Irp, STATUS_SUCCESS); });
  NtPoolFailAllocation(NT_TAG_MDL, 1);
  IO_STATUS_BLOCK iosb;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  constexpr ULONG kOutDirect = CTL_CODE(FILE_DEVICE_DISK, 1, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
  EXPECT_EQ(IoBuildDeviceIoControlRequest(kOutDirect, dev, buffer, 16, buffer, 64, FALSE, &event, &iosb), nullptr);
  ExpectNothingOutstanding();
  NtResetFaults();
}

TEST(Mdl, MappingFlagsStayHonestAndInjectedFailuresReturnNull) {
  UCHAR buffer[8192];
  PMDL mdl = IoAllocateMdl(buffer + 100, 5000, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  EXPECT_EQ(MmGetMdlVirtualAddress(mdl), buffer + 100);
  EXPECT_EQ(MmGetMdlByteCount(mdl), 5000u);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr) << "unlocked pages cannot be mapped";
  MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
  EXPECT_TRUE(mdl->MdlFlags & MDL_PAGES_LOCKED);

  NtMdlFailMapping(1);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
  EXPECT_FALSE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer + 100) << "only one failure was asked for";
  EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  MmUnlockPages(mdl);
  EXPECT_EQ(mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED), 0);
  IoFreeMdl(mdl);

  // Pool MDLs need no mapping, so an injected failure is not used up on them.
  PMDL pool = IoAllocateMdl(buffer, 512, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(pool);
  NtMdlFailMapping(1);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(pool, NormalPagePriority), buffer);
  EXPECT_TRUE(pool->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
  EXPECT_FALSE(pool->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  IoFreeMdl(pool);
  PMDL locked = IoAllocateMdl(buffer, 512, FALSE, FALSE, nullptr);
  MmProbeAndLockPages(locked, KernelMode, IoReadAccess);
  EXPECT_EQ(MmMapLockedPagesSpecifyCache(locked, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority), nullptr);
  MmUnlockPages(locked);
  IoFreeMdl(locked);
  NtResetFaults();
  EXPECT_EQ(NtPoolOutstanding(NT_TAG_MDL), 0u);
}

TEST(Mdl, SecondaryBuffersChainBehindTheFirst) {
  FakeDriver driver;
  PDEVICE_OBJECT dev = driver.AddDevice([](PDEVICE_OBJECT, PIRP Irp) { return Complete(Irp, STATUS_SUCCESS); });
  PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
  UCHAR a[16], b[16], c[16];
  PMDL first = IoAllocateMdl(a, 16, FALSE, FALSE, irp);
  PMDL second = IoAllocateMdl(b, 16, TRUE, FALSE, irp);
  PMDL third = IoAllocateMdl(c, 16, TRUE, FALSE, irp);
  EXPECT_EQ(irp->MdlAddress, first);
  EXPECT_EQ(first->Next, second);
  EXPECT_EQ(second->Next, third);
  IoFreeMdl(first);
  IoFreeMdl(second);
  IoFreeMdl(third);
  IoFreeIrp(irp);
  ExpectNothingOutstanding();
}

}  // namespace
