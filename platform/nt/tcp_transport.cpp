// The TCP transport driver: "\Device\Tcp" with address and connection file
// objects and the TDI internal device-control requests.
//
// Every request is completed on the caller's thread before the dispatch
// routine returns; a send or receive blocks at most the receive time-out.
// FileObject->FsContext holds the TcpAddress or TcpConnection, FsContext2 the
// kind (TDI_TRANSPORT_ADDRESS_FILE, TDI_CONNECTION_FILE,
// TDI_CONTROL_CHANNEL_FILE); both are set at create and freed at close.
#include <cstring>
#include <new>

#include "private/tcp_endpoint.h"

using namespace tarn::nt;

namespace {

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NETWORK_INCREMENT);
  return Status;
}

ULONG_PTR KindOf(PFILE_OBJECT File) { return File != nullptr ? reinterpret_cast<ULONG_PTR>(File->FsContext2) : 0; }

TcpConnection* ConnectionOf(PFILE_OBJECT File) {
  if (KindOf(File) != TDI_CONNECTION_FILE) return nullptr;
  return static_cast<TcpConnection*>(File->FsContext);
}

// Finds the value of the extended attribute Name in an EA list of Length
// bytes, checking every entry's bounds. STATUS_SUCCESS with *Value NULL when
// the list does not hold it.
NTSTATUS FindEa(const UCHAR* Buffer, ULONG Length, const char* Name, const UCHAR** Value, USHORT* ValueLength) {
  *Value = nullptr;
  *ValueLength = 0;
  const size_t nameLength = strlen(Name);
  const size_t header = FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName);
  size_t at = 0;
  while (Buffer != nullptr && at < Length) {
    if (Length - at < header) return STATUS_EA_LIST_INCONSISTENT;
    FILE_FULL_EA_INFORMATION ea;
    memcpy(&ea, Buffer + at, header);
    size_t entry = header + ea.EaNameLength + 1 + ea.EaValueLength;
    if (Length - at < entry) return STATUS_EA_LIST_INCONSISTENT;
    const char* name = reinterpret_cast<const char*>(Buffer + at + header);
    if (ea.EaNameLength == nameLength && memcmp(name, Name, nameLength) == 0) {
      *Value = Buffer + at + header + ea.EaNameLength + 1;
      *ValueLength = ea.EaValueLength;
      return STATUS_SUCCESS;
    }
    if (ea.NextEntryOffset == 0) break;
    if (ea.NextEntryOffset < entry) return STATUS_EA_LIST_INCONSISTENT;
    at += ea.NextEntryOffset;
  }
  return STATUS_SUCCESS;
}

// The first IP address of a TRANSPORT_ADDRESS of Length bytes.
NTSTATUS ParseIpAddress(const void* Address, size_t Length, TDI_ADDRESS_IP* Ip) {
  if (Address == nullptr || Length < sizeof(TA_IP_ADDRESS)) return STATUS_INVALID_ADDRESS;
  TA_IP_ADDRESS ta;
  memcpy(&ta, Address, sizeof ta);
  if (ta.TAAddressCount < 1 || ta.Address[0].AddressType != TDI_ADDRESS_TYPE_IP ||
      ta.Address[0].AddressLength < TDI_ADDRESS_LENGTH_IP)
    return STATUS_INVALID_ADDRESS;
  *Ip = ta.Address[0].Address[0];
  return STATUS_SUCCESS;
}

NTSTATUS CreateAddress(PFILE_OBJECT File, const UCHAR* Value, USHORT ValueLength) {
  TDI_ADDRESS_IP ip;
  NTSTATUS status = ParseIpAddress(Value, ValueLength, &ip);
  if (!NT_SUCCESS(status)) return status;
  void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(TcpAddress), kTcpAddressTag);
  if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto* address = new (memory) TcpAddress();
  address->InAddr = ip.in_addr;
  address->Port = ip.sin_port;
  File->FsContext = address;
  File->FsContext2 = reinterpret_cast<PVOID>(ULONG_PTR(TDI_TRANSPORT_ADDRESS_FILE));
  return STATUS_SUCCESS;
}

NTSTATUS CreateConnection(PFILE_OBJECT File, const UCHAR* Value, USHORT ValueLength) {
  PVOID context = nullptr;
  memcpy(&context, Value, ValueLength < sizeof context ? ValueLength : sizeof context);
  void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(TcpConnection), kTcpConnectionTag);
  if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  File->FsContext = new (memory) TcpConnection(context);
  File->FsContext2 = reinterpret_cast<PVOID>(ULONG_PTR(TDI_CONNECTION_FILE));
  return STATUS_SUCCESS;
}

NTSTATUS TcpCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT file = sp->FileObject;
  if (file == nullptr) return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
  auto* eas = static_cast<const UCHAR*>(Irp->AssociatedIrp.SystemBuffer);
  ULONG eaLength = eas != nullptr ? sp->Parameters.Create.EaLength : 0;
  const UCHAR* value;
  USHORT valueLength;
  NTSTATUS status = FindEa(eas, eaLength, TdiTransportAddress, &value, &valueLength);
  if (!NT_SUCCESS(status)) return Complete(Irp, status, 0);
  if (value != nullptr) return Complete(Irp, CreateAddress(file, value, valueLength), FILE_OPENED);
  status = FindEa(eas, eaLength, TdiConnectionContext, &value, &valueLength);
  if (!NT_SUCCESS(status)) return Complete(Irp, status, 0);
  if (value != nullptr) return Complete(Irp, CreateConnection(file, value, valueLength), FILE_OPENED);
  if (eaLength != 0) return Complete(Irp, STATUS_INVALID_EA_NAME, 0);
  file->FsContext2 = reinterpret_cast<PVOID>(ULONG_PTR(TDI_CONTROL_CHANNEL_FILE));
  return Complete(Irp, STATUS_SUCCESS, FILE_OPENED);
}

NTSTATUS TcpCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  if (TcpConnection* c = ConnectionOf(IoGetCurrentIrpStackLocation(Irp)->FileObject)) c->Shutdown();
  return Complete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS TcpClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  switch (KindOf(file)) {
    case TDI_CONNECTION_FILE: {
      auto* c = static_cast<TcpConnection*>(file->FsContext);
      c->~TcpConnection();
      ExFreePoolWithTag(c, kTcpConnectionTag);
      break;
    }
    case TDI_TRANSPORT_ADDRESS_FILE: {
      auto* a = static_cast<TcpAddress*>(file->FsContext);
      a->~TcpAddress();
      ExFreePoolWithTag(a, kTcpAddressTag);
      break;
    }
  }
  if (file != nullptr) {
    file->FsContext = nullptr;
    file->FsContext2 = nullptr;
  }
  return Complete(Irp, STATUS_SUCCESS, 0);
}

// The buffers of a send or receive: the request's MDL chain, each MDL
// mapped, together clipped to the requested length. A chain longer than
// kMaxTransferPieces moves its first pieces only, which a partial
// completion reports like any other.
NTSTATUS TransferBuffers(PIRP Irp, ULONG Requested, TcpBuffers* Buffers) {
  Buffers->Count = 0;
  if (Requested == 0) return STATUS_SUCCESS;
  if (Irp->MdlAddress == nullptr) return STATUS_INVALID_PARAMETER;
  ULONG left = Requested;
  for (PMDL mdl = Irp->MdlAddress; mdl != nullptr && left != 0 && Buffers->Count < kMaxTransferPieces;
       mdl = mdl->Next) {
    ULONG length = MmGetMdlByteCount(mdl);
    if (length == 0) continue;
    PVOID address = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    if (address == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (length > left) length = left;
    Buffers->Pieces[Buffers->Count++] = {address, length};
    left -= length;
  }
  return STATUS_SUCCESS;
}

NTSTATUS Associate(PDEVICE_OBJECT Device, TcpConnection* Connection, PTDI_REQUEST_KERNEL_ASSOCIATE Request) {
  PVOID object = nullptr;
  NTSTATUS status =
      ObReferenceObjectByHandle(Request->AddressHandle, 0, *IoFileObjectType, KernelMode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  auto* file = static_cast<PFILE_OBJECT>(object);
  if (file->DeviceObject != Device || KindOf(file) != TDI_TRANSPORT_ADDRESS_FILE) {
    ObDereferenceObject(file);
    return STATUS_INVALID_HANDLE;
  }
  return Connection->Associate(file);
}

NTSTATUS Connect(TcpConnection* Connection, PTDI_REQUEST_KERNEL Request) {
  PTDI_CONNECTION_INFORMATION info = Request->RequestConnectionInformation;
  if (info == nullptr || info->RemoteAddressLength < 0) return STATUS_INVALID_ADDRESS;
  TDI_ADDRESS_IP remote;
  NTSTATUS status = ParseIpAddress(info->RemoteAddress, size_t(info->RemoteAddressLength), &remote);
  if (!NT_SUCCESS(status)) return status;
  ULONG timeoutMs = TcpConnectTimeoutMs();
  if (auto* time = static_cast<PLARGE_INTEGER>(Request->RequestSpecific)) {
    // A relative time-out (negative, 100 ns units) shorter than ours wins.
    if (time->QuadPart < 0 && -time->QuadPart / 10000 < LONGLONG(timeoutMs))
      timeoutMs = ULONG(-time->QuadPart / 10000);
  }
  return Connection->Connect(remote, timeoutMs);
}

NTSTATUS TcpInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  TcpConnection* connection = ConnectionOf(sp->FileObject);
  if (connection == nullptr) return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  auto* request = reinterpret_cast<PTDI_REQUEST_KERNEL>(&sp->Parameters);
  switch (sp->MinorFunction) {
    case TDI_ASSOCIATE_ADDRESS:
      return Complete(
          Irp, Associate(DeviceObject, connection, reinterpret_cast<PTDI_REQUEST_KERNEL_ASSOCIATE>(&sp->Parameters)),
          0);
    case TDI_DISASSOCIATE_ADDRESS:
      return Complete(Irp, connection->Disassociate(), 0);
    case TDI_CONNECT:
      return Complete(Irp, Connect(connection, request), 0);
    case TDI_DISCONNECT:
      return Complete(Irp, connection->Disconnect((request->RequestFlags & TDI_DISCONNECT_ABORT) != 0), 0);
    case TDI_SEND: {
      auto* send = reinterpret_cast<PTDI_REQUEST_KERNEL_SEND>(&sp->Parameters);
      TcpBuffers buffers;
      ULONG moved = 0;
      NTSTATUS status = TransferBuffers(Irp, send->SendLength, &buffers);
      if (NT_SUCCESS(status)) status = connection->Send(buffers, &moved);
      return Complete(Irp, status, moved);
    }
    case TDI_RECEIVE: {
      auto* receive = reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVE>(&sp->Parameters);
      // FIXME: expedited data and peeking are not offered; such receives fail.
      if (receive->ReceiveFlags & (TDI_RECEIVE_EXPEDITED | TDI_RECEIVE_PEEK))
        return Complete(Irp, STATUS_NOT_SUPPORTED, 0);
      TcpBuffers buffers;
      ULONG moved = 0;
      NTSTATUS status = TransferBuffers(Irp, receive->ReceiveLength, &buffers);
      if (NT_SUCCESS(status)) status = connection->Receive(buffers, &moved);
      return Complete(Irp, status, moved);
    }
    default:
      // FIXME: listening, datagrams, event handlers and queries are not offered.
      return Complete(Irp, STATUS_NOT_SUPPORTED, 0);
  }
}

VOID TcpUnload(PDRIVER_OBJECT DriverObject) {
  while (DriverObject->DeviceObject != nullptr) IoDeleteDevice(DriverObject->DeviceObject);
}

}  // namespace

extern "C" NTSTATUS TcpDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  // A second transport meets the first one's name: STATUS_OBJECT_NAME_COLLISION.
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, DD_TCP_DEVICE_NAME);
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(DriverObject, 0, &name, FILE_DEVICE_NETWORK, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = TcpCreate;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = TcpCleanup;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = TcpClose;
  DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = TcpInternalControl;
  DriverObject->DriverUnload = TcpUnload;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}
