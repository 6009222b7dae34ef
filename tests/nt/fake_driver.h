// A driver for tests: each device answers requests with a function the test
// gives it.
#pragma once

#include <ntddk.h>

#include <functional>
#include <string>
#include <vector>

namespace tarn::nt::test {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

class FakeDriver {
 public:
  FakeDriver();
  ~FakeDriver();
  FakeDriver(const FakeDriver&) = delete;
  FakeDriver& operator=(const FakeDriver&) = delete;

  PDRIVER_OBJECT Object() const { return driver_; }
  // A device whose every request goes to Handler. Flags are OR-ed into the
  // device's flags; Name (u"\\Device\\...") is optional.
  PDEVICE_OBJECT AddDevice(Dispatch Handler, ULONG Flags = DO_DIRECT_IO, const char16_t* Name = nullptr,
                           NTSTATUS* Status = nullptr);
  // Builds a stack: each device attached on the previous; returns them bottom first.
  std::vector<PDEVICE_OBJECT> AddStack(std::vector<Dispatch> Handlers, ULONG Flags = DO_DIRECT_IO);
  // Deletes a device now (detaching it first).
  void Remove(PDEVICE_OBJECT Device);

 private:
  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<PDEVICE_OBJECT> devices_;
};

// Completes the request with Status and Information.
inline NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

// Passes the request to Lower without a completion routine.
inline NTSTATUS Forward(PDEVICE_OBJECT Lower, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Lower, Irp);
}

}  // namespace tarn::nt::test
