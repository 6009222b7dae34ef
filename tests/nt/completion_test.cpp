// Completion of requests through a stack: order of completion routines,
// STATUS_MORE_PROCESSING_REQUIRED, invoke flags, PendingReturned, and
// completion on another thread.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "fake_driver.h"
#include "platform/nt/testing.h"

namespace {

using tarn::nt::test::Complete;
using tarn::nt::test::FakeDriver;

struct Probe {
  std::string Name;
  std::vector<std::string>* Log = nullptr;
  NTSTATUS Return = STATUS_SUCCESS;
  bool FreeIrp = false;      // the creator's routine
  bool MarkPending = true;   // do what a well-behaved routine does
  PDEVICE_OBJECT SeenDevice = nullptr;
  BOOLEAN SeenPending = FALSE;
  NTSTATUS SeenStatus = STATUS_PENDING;
  ULONG_PTR SeenInformation = 0;
  int Calls = 0;
};

NTSTATUS ProbeRoutine(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context) {
  auto* p = static_cast<Probe*>(Context);
  p->Calls++;
  p->SeenDevice = Device;
  p->SeenPending = Irp->PendingReturned;
  p->SeenStatus = Irp->IoStatus.Status;
  p->SeenInformation = Irp->IoStatus.Information;
  if (p->Log != nullptr) p->Log->push_back(p->Name);
  if (p->FreeIrp) {
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (p->MarkPending && Irp->PendingReturned) IoMarkIrpPending(Irp);
  return p->Return;
}

// Sends a creator-owned request to Top with Creator as its completion routine.
NTSTATUS Send(PDEVICE_OBJECT Top, Probe* Creator, UCHAR Major = IRP_MJ_READ) {
  PIRP irp = IoAllocateIrp(Top->StackSize, FALSE);
  EXPECT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->MajorFunction = Major;
  Creator->FreeIrp = true;
  IoSetCompletionRoutine(irp, ProbeRoutine, Creator, TRUE, TRUE, TRUE);
  return IoCallDriver(Top, irp);
}

// A layer that forwards with a completion routine.
tarn::nt::test::Dispatch Layer(PDEVICE_OBJECT* Lower, Probe* P) {
  return [Lower, P](PDEVICE_OBJECT, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, ProbeRoutine, P, TRUE, TRUE, TRUE);
    return IoCallDriver(*Lower, Irp);
  };
}

TEST(Completion, RoutinesRunBottomUpAndStopAtMoreProcessingRequired) {
  FakeDriver driver;
  std::vector<std::string> log;
  Probe top{"top", &log}, middle{"middle", &log, STATUS_MORE_PROCESSING_REQUIRED}, creator{"creator", &log};
  PDEVICE_OBJECT bottomDev = nullptr, middleDev = nullptr;
  PIRP held = nullptr;
  auto stack = driver.AddStack({
      [&](PDEVICE_OBJECT, PIRP Irp) { return Complete(Irp, STATUS_SUCCESS, 7); },
      [&](PDEVICE_OBJECT, PIRP Irp) {
        held = Irp;
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, ProbeRoutine, &middle, TRUE, TRUE, TRUE);
        IoMarkIrpPending(Irp);
        IoCallDriver(bottomDev, Irp);
        return STATUS_PENDING;
      },
      Layer(&middleDev, &top),
  });
  bottomDev = stack[0];
  middleDev = stack[1];
  ASSERT_EQ(stack[2]->StackSize, 3);

  Send(stack[2], &creator);
  EXPECT_EQ(log, std::vector<std::string>{"middle"}) << "completion must stop at the middle layer";
  EXPECT_EQ(middle.SeenDevice, stack[1]) << "a routine gets the device of the layer that set it";

  // The middle layer resumes the completion it stopped.
  IoCompleteRequest(held, IO_NO_INCREMENT);
  EXPECT_EQ(log, (std::vector<std::string>{"middle", "top", "creator"}));
  EXPECT_EQ(top.SeenDevice, stack[2]);
  EXPECT_EQ(creator.SeenDevice, nullptr) << "the creator's routine has no device";
  EXPECT_EQ(creator.SeenInformation, 7u);
  EXPECT_EQ(NtPoolOutstanding(NT_TAG_IRP), 0u);
}

TEST(Completion, InvokeFlagsDecideWhichRoutinesRun) {
  struct Case {
    NTSTATUS Status;
    bool Cancelled;
    BOOLEAN OnSuccess, OnError, OnCancel;
    bool Invoked;
  } cases[] = {
      {STATUS_SUCCESS, false, TRUE, FALSE, FALSE, true},
      {STATUS_SUCCESS, false, FALSE, TRUE, TRUE, false},
      {STATUS_BUFFER_OVERFLOW, false, TRUE, FALSE, FALSE, false},  // a warning is not a success
      {STATUS_BUFFER_OVERFLOW, false, FALSE, TRUE, FALSE, true},
      {STATUS_ACCESS_DENIED, false, FALSE, TRUE, FALSE, true},
      {STATUS_ACCESS_DENIED, false, TRUE, FALSE, TRUE, false},
      {STATUS_CANCELLED, true, FALSE, FALSE, TRUE, true},
      {STATUS_SUCCESS, true, FALSE, FALSE, TRUE, true},
      {STATUS_SUCCESS, false, FALSE, FALSE, TRUE, false},
  };
  for (const auto& c : cases) {
    FakeDriver driver;
    Probe probe{"probe"}, creator{"creator"};
    PDEVICE_OBJECT bottom = nullptr;
    auto stack = driver.AddStack({
        [&](PDEVICE_OBJECT, PIRP Irp) {
          if (c.Cancelled) Irp->Cancel = TRUE;
          return Complete(Irp, c.Status);
        },
        [&](PDEVICE_OBJECT, PIRP Irp) {
          IoCopyCurrentIrpStackLocationToNext(Irp);
          IoSetCompletionRoutine(Irp, ProbeRoutine, &probe, c.OnSuccess, c.OnError, c.OnCancel);
          return IoCallDriver(bottom, Irp);
        },
    });
    bottom = stack[0];
    Send(stack[1], &creator);
    EXPECT_EQ(probe.Calls, c.Invoked ? 1 : 0) << std::hex << c.Status << " cancel " << c.Cancelled;
    EXPECT_EQ(creator.Calls, 1);
    EXPECT_EQ(creator.SeenStatus, c.Status);
  }
}

TEST(Completion, PendingReturnedPropagatesThroughLayersWithoutRoutines) {
  for (bool topMarks : {true, false}) {
    FakeDriver driver;
    Probe top{"top"}, creator{"creator"};
    top.MarkPending = topMarks;
    PIRP pended = nullptr;
    PDEVICE_OBJECT devs[4] = {};
    auto copyDown = [&](int below) {
      return [&, below](PDEVICE_OBJECT, PIRP Irp) {
        IoCopyCurrentIrpStackLocationToNext(Irp);  // no completion routine
        return IoCallDriver(devs[below], Irp);
      };
    };
    auto stack = driver.AddStack({
        [&](PDEVICE_OBJECT, PIRP Irp) {
          IoMarkIrpPending(Irp);
          pended = Irp;
          return STATUS_PENDING;
        },
        copyDown(0),
        copyDown(1),
        Layer(&devs[2], &top),
    });
    std::copy(stack.begin(), stack.end(), devs);
    EXPECT_EQ(Send(stack[3], &creator), STATUS_PENDING);
    std::thread([&] { Complete(pended, STATUS_SUCCESS, 1); }).join();
    EXPECT_TRUE(top.SeenPending) << "two layers without routines must carry the pending mark up";
    // Where a routine runs, only the routine carries the mark further.
    EXPECT_EQ(creator.SeenPending, topMarks ? TRUE : FALSE);
  }
}

TEST(Completion, SynchronousRequestCompletedOnAnotherThreadWakesTheCaller) {
  FakeDriver driver;
  PIRP pended = nullptr;
  KEVENT queued;
  KeInitializeEvent(&queued, SynchronizationEvent, FALSE);
  PDEVICE_OBJECT bottom = driver.AddDevice([&](PDEVICE_OBJECT, PIRP Irp) {
    IoMarkIrpPending(Irp);
    pended = Irp;
    KeSetEvent(&queued, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
  });
  std::thread worker([&] {
    KeWaitForSingleObject(&queued, Executive, KernelMode, FALSE, nullptr);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(pended);
    auto* data = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(pended->MdlAddress, NormalPagePriority));
    ASSERT_NE(data, nullptr);
    memset(data, 0x5A, sp->Parameters.Read.Length);
    Complete(pended, STATUS_SUCCESS, sp->Parameters.Read.Length);
  });

  UCHAR buffer[512] = {};
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb = {};
  LARGE_INTEGER offset;
  offset.QuadPart = 4096;
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, bottom, buffer, sizeof(buffer), &offset, &done, &iosb);
  ASSERT_NE(irp, nullptr);
  NTSTATUS status = IoCallDriver(bottom, irp);
  ASSERT_EQ(status, STATUS_PENDING);
  EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  worker.join();
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, sizeof(buffer));
  EXPECT_EQ(buffer[0], 0x5A);
  EXPECT_EQ(buffer[511], 0x5A);
  EXPECT_EQ(NtPoolOutstanding(NT_TAG_IRP), 0u);
  EXPECT_EQ(NtPoolOutstanding(NT_TAG_MDL), 0u);
}

VOID CancelPended(PDEVICE_OBJECT, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  Complete(Irp, STATUS_CANCELLED);
}

TEST(Completion, CancellingAPendedRequestRunsItsCancelRoutineOnce) {
  FakeDriver driver;
  PIRP pended = nullptr;
  PDEVICE_OBJECT dev = driver.AddDevice([&](PDEVICE_OBJECT, PIRP Irp) {
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, CancelPended);
    pended = Irp;
    return STATUS_PENDING;
  });
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb = {};
  UCHAR buffer[512];
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, dev, buffer, sizeof(buffer), nullptr, &event, &iosb);
  ASSERT_EQ(IoCallDriver(dev, irp), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(pended));
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(NtPoolOutstanding(NT_TAG_IRP), 0u);

  // Without a cancel routine there is nothing to call.
  PIRP plain = IoAllocateIrp(1, FALSE);
  EXPECT_FALSE(IoCancelIrp(plain));
  EXPECT_TRUE(plain->Cancel);
  IoFreeIrp(plain);
}

TEST(CompletionDeathTest, RunningOutOfStackLocationsStopsTheSystem) {
  FakeDriver driver;
  PDEVICE_OBJECT bottom = nullptr;
  auto stack = driver.AddStack({[](PDEVICE_OBJECT, PIRP Irp) { return Complete(Irp, STATUS_SUCCESS); },
                                [&](PDEVICE_OBJECT, PIRP Irp) {
                                  IoCopyCurrentIrpStackLocationToNext(Irp);
                                  return IoCallDriver(bottom, Irp);
                                }});
  bottom = stack[0];
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(1, FALSE);  // one location short
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoCallDriver(stack[1], irp);
      },
      "STOP: 0x00000035");
}

TEST(CompletionDeathTest, CreatorOwnedRequestCompletedPastItsCreatorStopsTheSystem) {
  FakeDriver driver;
  PDEVICE_OBJECT dev = driver.AddDevice([](PDEVICE_OBJECT, PIRP Irp) { return Complete(Irp, STATUS_SUCCESS); });
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);  // no completion routine frees it
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoCallDriver(dev, irp);
      },
      "belongs to its creator");
}

}  // namespace
