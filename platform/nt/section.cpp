// Sections on mmap. A section object owns a duplicate of its file's
// descriptor; a view is a MAP_SHARED mapping of it, so it shares the page
// cache with ZwReadFile and ZwWriteFile and needs no flushing of its own.
#include "section.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <map>
#include <mutex>

#include "private/object.h"
#include "private/protected.h"

namespace {

constexpr LONGLONG kViewGranularity = 64 * 1024;

struct HostSection {
  int Fd = -1;
  LONGLONG Size = 0;
};

void DeleteSection(PVOID Body) {
  auto* section = static_cast<HostSection*>(Body);
  if (section->Fd >= 0) close(section->Fd);
  section->~HostSection();
}

_OBJECT_TYPE SectionType = {"Section", 0x74636553u /* "Sect" in memory */, DeleteSection};

// Mapped views: start address -> length.
tarn::nt::Protected<std::map<ULONG_PTR, SIZE_T>>& Views() {
  static auto* views = new tarn::nt::Protected<std::map<ULONG_PTR, SIZE_T>>();  // outlives static destructors
  return *views;
}

// The guard of the current thread's view access, if one runs.
thread_local sigjmp_buf* ViewGuard = nullptr;
struct sigaction PreviousBusHandler;
std::once_flag BusHandlerInstalled;

// A bus error during a guarded access ends that access. Any other goes
// where it went before: to the handler that was there, or to the default
// action, which ends the process.
void OnBusError(int Signal, siginfo_t* Info, void* Context) {
  if (sigjmp_buf* guard = ViewGuard) {
    ViewGuard = nullptr;
    siglongjmp(*guard, 1);
  }
  if (PreviousBusHandler.sa_flags & SA_SIGINFO) {
    if (PreviousBusHandler.sa_sigaction != nullptr) return PreviousBusHandler.sa_sigaction(Signal, Info, Context);
  } else if (PreviousBusHandler.sa_handler != SIG_DFL && PreviousBusHandler.sa_handler != SIG_IGN) {
    return PreviousBusHandler.sa_handler(Signal);
  }
  signal(SIGBUS, SIG_DFL);
  raise(SIGBUS);
}

void InstallBusHandler() {
  struct sigaction action = {};
  action.sa_sigaction = OnBusError;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, &PreviousBusHandler);
}

}  // namespace

extern "C" NTSTATUS ZwCreateSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes, PLARGE_INTEGER MaximumSize,
                                    ULONG SectionPageProtection, ULONG AllocationAttributes, HANDLE FileHandle) {
  if (SectionHandle == nullptr) return STATUS_INVALID_PARAMETER;
  *SectionHandle = nullptr;
  if (SectionPageProtection != PAGE_READONLY) return STATUS_INVALID_PAGE_PROTECTION;
  // Sections backed by the paging file and named sections are not needed.
  if (AllocationAttributes != SEC_COMMIT || FileHandle == nullptr ||
      (ObjectAttributes != nullptr && ObjectAttributes->ObjectName != nullptr))
    return STATUS_INVALID_PARAMETER;
  if (MaximumSize != nullptr && MaximumSize->QuadPart < 0) return STATUS_INVALID_PARAMETER;

  int fd = -1;
  NTSTATUS status = tarn::nt::DuplicateReadableDescriptor(FileHandle, &fd);
  if (!NT_SUCCESS(status)) return status;
  // Also the size of a block device.
  const off_t fileSize = lseek(fd, 0, SEEK_END);
  if (fileSize < 0) {
    status = tarn::nt::FileStatusFromErrno(errno);
    close(fd);
    return status;
  }
  LONGLONG size = fileSize;
  if (MaximumSize != nullptr && MaximumSize->QuadPart != 0) {
    if (MaximumSize->QuadPart > fileSize) {
      close(fd);
      return STATUS_SECTION_TOO_BIG;
    }
    size = MaximumSize->QuadPart;
  }
  if (size == 0) {
    close(fd);
    return STATUS_MAPPED_FILE_SIZE_ZERO;
  }

  PVOID body = tarn::nt::CreateObject(&SectionType, sizeof(HostSection));
  if (body == nullptr) {
    close(fd);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  auto* section = new (body) HostSection();
  section->Fd = fd;
  section->Size = size;
  HANDLE handle = nullptr;
  status = tarn::nt::CreateHandle(body, DesiredAccess, &handle);
  ObDereferenceObject(body);  // the handle holds the object from here
  if (!NT_SUCCESS(status)) return status;
  *SectionHandle = handle;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwMapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID* BaseAddress,
                                       ULONG_PTR ZeroBits, SIZE_T CommitSize, PLARGE_INTEGER SectionOffset,
                                       PSIZE_T ViewSize, SECTION_INHERIT InheritDisposition, ULONG AllocationType,
                                       ULONG Win32Protection) {
  UNREFERENCED_PARAMETER(ZeroBits);
  UNREFERENCED_PARAMETER(CommitSize);
  UNREFERENCED_PARAMETER(InheritDisposition);
  UNREFERENCED_PARAMETER(AllocationType);
  if (ProcessHandle != NtCurrentProcess()) return STATUS_INVALID_PARAMETER;  // one address space
  if (BaseAddress == nullptr || *BaseAddress != nullptr || ViewSize == nullptr) return STATUS_INVALID_PARAMETER;
  if (Win32Protection != PAGE_READONLY) return STATUS_INVALID_PAGE_PROTECTION;

  PVOID object = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(SectionHandle, SECTION_MAP_READ, &SectionType, KernelMode, &object,
                                              nullptr);
  if (!NT_SUCCESS(status)) return status;
  const auto* section = static_cast<HostSection*>(object);
  const LONGLONG offset = SectionOffset == nullptr ? 0 : SectionOffset->QuadPart;
  if (offset < 0 || offset % kViewGranularity != 0) status = STATUS_MAPPED_ALIGNMENT;
  else if (offset >= section->Size || *ViewSize > SIZE_T(section->Size - offset)) status = STATUS_INVALID_VIEW_SIZE;
  if (!NT_SUCCESS(status)) {
    ObDereferenceObject(object);
    return status;
  }
  const SIZE_T size = *ViewSize != 0 ? *ViewSize : SIZE_T(section->Size - offset);
  void* view = mmap(nullptr, size, PROT_READ, MAP_SHARED, section->Fd, off_t(offset));
  const int error = errno;
  ObDereferenceObject(object);  // the mapping holds the file from here
  if (view == MAP_FAILED) {
    // ENODEV: a file system that cannot map its files.
    return error == ENODEV ? STATUS_INVALID_FILE_FOR_SECTION : tarn::nt::FileStatusFromErrno(error);
  }
  Views().lock()->emplace(reinterpret_cast<ULONG_PTR>(view), size);
  *BaseAddress = view;
  *ViewSize = size;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwUnmapViewOfSection(HANDLE ProcessHandle, PVOID BaseAddress) {
  if (ProcessHandle != NtCurrentProcess()) return STATUS_INVALID_PARAMETER;
  SIZE_T size = 0;
  {
    auto views = Views().lock();
    auto it = views->find(reinterpret_cast<ULONG_PTR>(BaseAddress));
    if (it == views->end()) return STATUS_NOT_MAPPED_VIEW;
    size = it->second;
    views->erase(it);
  }
  munmap(BaseAddress, size);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NtHostGuardViewAccess(PNTHOST_VIEW_ROUTINE Routine, PVOID Context) {
  std::call_once(BusHandlerInstalled, InstallBusHandler);
  sigjmp_buf here;
  sigjmp_buf* const outer = ViewGuard;
  // The mask is not saved here (a system call on every access): the jump
  // out of the handler leaves SIGBUS blocked, and only that path unblocks it.
  if (sigsetjmp(here, 0) != 0) {
    sigset_t bus;
    sigemptyset(&bus);
    sigaddset(&bus, SIGBUS);
    pthread_sigmask(SIG_UNBLOCK, &bus, nullptr);
    ViewGuard = outer;
    return STATUS_IN_PAGE_ERROR;
  }
  ViewGuard = &here;
  Routine(Context);
  ViewGuard = outer;
  return STATUS_SUCCESS;
}
