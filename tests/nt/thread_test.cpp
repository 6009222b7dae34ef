// System threads: waiting for their end through the handle's object,
// termination from deep inside, priorities.
#include <gtest/gtest.h>
#include <ntddk.h>

#include <atomic>

#include "platform/nt/testing.h"

namespace {

constexpr ULONG kThreadTag = 0x65726854;

struct Work {
  KEVENT Go;
  std::atomic<int> Steps{0};
  KPRIORITY OldPriority = -1;
  KPRIORITY NewPriority = -1;
  bool Terminate = false;
  bool DestructorRan = false;
};

struct Marker {
  Work* W;
  ~Marker() { W->DestructorRan = true; }
};

void Deep(Work* w) {
  Marker m{w};
  if (w->Terminate) PsTerminateSystemThread(STATUS_SUCCESS);
  w->Steps++;
}

VOID Worker(PVOID Context) {
  auto* w = static_cast<Work*>(Context);
  w->OldPriority = KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
  w->NewPriority = KeQueryPriorityThread(KeGetCurrentThread());
  KeWaitForSingleObject(&w->Go, Executive, KernelMode, FALSE, nullptr);
  w->Steps++;
  Deep(w);
  w->Steps++;
}

TEST(SystemThread, ThreadObjectIsSignalledWhenTheRoutineEndsOrTerminates) {
  for (bool terminate : {false, true}) {
    Work w;
    w.Terminate = terminate;
    KeInitializeEvent(&w.Go, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Worker, &w),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    PVOID wrongType = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &wrongType, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);

    LARGE_INTEGER zero = {};
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&w.Go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS)
        << "an ended thread stays signalled";
    EXPECT_EQ(w.Steps, terminate ? 1 : 3);
    EXPECT_TRUE(w.DestructorRan) << "termination unwinds the thread's frames";
    EXPECT_EQ(w.OldPriority, 8);
    EXPECT_EQ(w.NewPriority, LOW_REALTIME_PRIORITY);
    ObDereferenceObject(thread);
  }
  // The thread drops its own reference after signalling; wait for that.
  for (int i = 0; i < 10000 && NtPoolOutstanding(kThreadTag) != 0; ++i) {
    LARGE_INTEGER ms;
    ms.QuadPart = -10'000;
    KeDelayExecutionThread(KernelMode, FALSE, &ms);
  }
  EXPECT_EQ(NtPoolOutstanding(kThreadTag), 0u);
}

TEST(SystemThread, TerminateOutsideASystemThreadIsRefused) {
  EXPECT_EQ(PsTerminateSystemThread(STATUS_SUCCESS), STATUS_INVALID_PARAMETER);
  EXPECT_NE(KeGetCurrentThread(), nullptr);
  EXPECT_EQ(KeGetCurrentThread(), KeGetCurrentThread());
  EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(0x1234)), STATUS_INVALID_HANDLE);
}

}  // namespace
