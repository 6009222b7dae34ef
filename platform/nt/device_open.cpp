// Opening a device by name with IRP_MJ_CREATE (and extended attributes), and
// the IRP_MJ_CLEANUP / IRP_MJ_CLOSE its file object gets when it goes away.
//
// File objects made here carry FO_HANDLE_CREATED. When the last reference
// to such a file object goes, the driver gets IRP_MJ_CLEANUP and then
// IRP_MJ_CLOSE, so it can free what it hung on FsContext. File objects made
// without an IRP_MJ_CREATE (IoGetDeviceObjectPointer) get neither, as their
// driver never saw them open.
// FIXME: IRP_MJ_CLEANUP belongs to the closing of the last handle; it is sent
// together with IRP_MJ_CLOSE at the last reference until the object manager
// tells the I/O manager about handle counts. The object manager's own file
// deletion should send both; it is hooked from here until it does.
#include <cstdlib>
#include <cstring>

#include "host.h"
#include "private/object.h"
#include "tdi.h"

using namespace tarn::nt;

#ifndef FO_HANDLE_CREATED
#define FO_HANDLE_CREATED 0x00040000
#endif

namespace {

constexpr ULONG kEaCopyTag = 0x61456F49;  // "IoEa" in memory

NTSTATUS StopAtCreator(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a creator-owned request for File to the top of its device's stack
// and waits for it; returns the request's final status.
NTSTATUS CallAndWait(PIRP Irp, PDEVICE_OBJECT Top) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(Irp, StopAtCreator, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(Top, Irp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return Irp->IoStatus.Status;
}

// Cleanup and close of a file object whose pointer count reached zero. The
// requests live outside the pool: closing must not fail for want of memory.
void SendCloseRequests(PFILE_OBJECT File) {
  PDEVICE_OBJECT top = IoGetAttachedDevice(File->DeviceObject);
  USHORT size = IoSizeOfIrp(top->StackSize);
  void* memory = aligned_alloc(16, (size + 15u) & ~15u);
  if (memory == nullptr) {
    DbgPrint("IoClose: no memory to close file object %p; its driver keeps its state\n", (void*)File);
    return;
  }
  auto* irp = static_cast<PIRP>(memory);
  for (UCHAR major : {UCHAR(IRP_MJ_CLEANUP), UCHAR(IRP_MJ_CLOSE)}) {
    IoInitializeIrp(irp, size, top->StackSize);
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.OriginalFileObject = File;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->FileObject = File;
    CallAndWait(irp, top);
  }
  free(memory);
}

void (*ObjectManagerFileDelete)(PVOID Body) = nullptr;

void DeleteFileAndClose(PVOID Body) {
  auto* file = static_cast<PFILE_OBJECT>(Body);
  if (file->Flags & FO_HANDLE_CREATED) SendCloseRequests(file);
  ObjectManagerFileDelete(Body);
}

// Runs before any thread of the process can make a file object.
struct CloseHook {
  CloseHook() {
    ObjectManagerFileDelete = ObFileType.DeleteProcedure;
    ObFileType.DeleteProcedure = DeleteFileAndClose;
  }
} InstallCloseHook;

}  // namespace

extern "C" NTSTATUS TdiOpenTransport(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                     PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize,
                                     ULONG FileAttributes, ULONG ShareAccess, ULONG CreateDisposition,
                                     ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength) {
  UNREFERENCED_PARAMETER(AllocationSize);
  if (FileHandle == nullptr || IoStatusBlock == nullptr || ObjectAttributes == nullptr ||
      ObjectAttributes->ObjectName == nullptr)
    return STATUS_INVALID_PARAMETER;
  *FileHandle = nullptr;
  IoStatusBlock->Information = 0;
  if (EaLength != 0 && EaBuffer == nullptr) return IoStatusBlock->Status = STATUS_INVALID_PARAMETER;

  PVOID object = nullptr;
  NTSTATUS status = NtHostReferenceObjectByName(ObjectAttributes->ObjectName, *IoDeviceObjectType, &object);
  if (!NT_SUCCESS(status)) return IoStatusBlock->Status = status;
  auto* device = static_cast<PDEVICE_OBJECT>(object);
  PFILE_OBJECT file = nullptr;
  status = NtHostCreateFileObject(device, &file);
  ObDereferenceObject(device);  // the file object holds its own reference
  if (!NT_SUCCESS(status)) return IoStatusBlock->Status = status;

  // The driver reads the extended attributes from the system buffer, as on
  // Windows; it gets its own copy.
  PVOID eaCopy = nullptr;
  if (EaLength != 0) {
    eaCopy = ExAllocatePoolWithTag(NonPagedPool, EaLength, kEaCopyTag);
    if (eaCopy == nullptr) {
      ObDereferenceObject(file);
      return IoStatusBlock->Status = STATUS_INSUFFICIENT_RESOURCES;
    }
    memcpy(eaCopy, EaBuffer, EaLength);
  }
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) {
    ObDereferenceObject(top);
    if (eaCopy != nullptr) ExFreePoolWithTag(eaCopy, kEaCopyTag);
    ObDereferenceObject(file);
    return IoStatusBlock->Status = STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.OriginalFileObject = file;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  irp->AssociatedIrp.SystemBuffer = eaCopy;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_CREATE;
  sp->FileObject = file;
  sp->Parameters.Create.Options = (CreateDisposition << 24) | (CreateOptions & 0x00FFFFFF);
  sp->Parameters.Create.FileAttributes = USHORT(FileAttributes);
  sp->Parameters.Create.ShareAccess = USHORT(ShareAccess);
  sp->Parameters.Create.EaLength = EaLength;
  status = CallAndWait(irp, top);
  ULONG_PTR information = irp->IoStatus.Information;
  IoFreeIrp(irp);
  ObDereferenceObject(top);
  if (eaCopy != nullptr) ExFreePoolWithTag(eaCopy, kEaCopyTag);

  if (!NT_SUCCESS(status)) {
    ObDereferenceObject(file);  // never opened: no close goes to the driver
    IoStatusBlock->Status = status;
    return status;
  }
  file->Flags |= FO_HANDLE_CREATED;
  status = CreateHandle(file, DesiredAccess, FileHandle);
  ObDereferenceObject(file);  // the handle holds the file object now
  IoStatusBlock->Status = status;
  IoStatusBlock->Information = NT_SUCCESS(status) ? information : 0;
  return status;
}
