// A client of the "\Device\Tcp" transport built the way a driver reaches it:
// two opens with extended attributes, referenced file objects, and TDI
// requests made with IoBuildDeviceIoControlRequest and the TdiBuild macros.
// Shared by the transport tests and the benchmark.
#pragma once

#include <arpa/inet.h>

#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "platform/nt/tdi.h"

namespace netdisk_test {

inline std::vector<UCHAR> Ea(const char* Name, const void* Value, USHORT ValueLength) {
  size_t nameLength = strlen(Name);
  std::vector<UCHAR> ea(FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName) + nameLength + 1 + ValueLength, 0);
  auto* info = reinterpret_cast<PFILE_FULL_EA_INFORMATION>(ea.data());
  info->EaNameLength = UCHAR(nameLength);
  info->EaValueLength = ValueLength;
  memcpy(info->EaName, Name, nameLength + 1);
  memcpy(info->EaName + nameLength + 1, Value, ValueLength);
  return ea;
}

inline TA_IP_ADDRESS IpAddress(ULONG InAddr, USHORT Port) {
  TA_IP_ADDRESS ta{};
  ta.TAAddressCount = 1;
  ta.Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
  ta.Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
  ta.Address[0].Address[0].in_addr = InAddr;
  ta.Address[0].Address[0].sin_port = Port;
  return ta;
}

inline NTSTATUS Open(const char16_t* Name, std::vector<UCHAR> Eas, HANDLE* Handle) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Name);
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  IO_STATUS_BLOCK iosb{};
  return TdiOpenTransport(Handle, 0, &oa, &iosb, nullptr, 0x80 /* FILE_ATTRIBUTE_NORMAL */, 0, 1 /* FILE_OPEN */, 0,
                          Eas.empty() ? nullptr : Eas.data(), ULONG(Eas.size()));
}

// What the network disk client holds: both handles and both file objects.
struct Endpoint {
  HANDLE AddressHandle = nullptr, ConnectionHandle = nullptr;
  PFILE_OBJECT AddressObject = nullptr, ConnectionObject = nullptr;

  NTSTATUS OpenBoth() {
    PVOID context = this;
    NTSTATUS s = Open(DD_TCP_DEVICE_NAME, Ea(TdiConnectionContext, &context, sizeof context), &ConnectionHandle);
    if (!NT_SUCCESS(s)) return s;
    TA_IP_ADDRESS any = IpAddress(0, 0);
    s = Open(DD_TCP_DEVICE_NAME, Ea(TdiTransportAddress, &any, sizeof any), &AddressHandle);
    if (!NT_SUCCESS(s)) return s;
    PVOID object;
    s = ObReferenceObjectByHandle(ConnectionHandle, GENERIC_READ | GENERIC_WRITE, nullptr, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(s)) return s;
    ConnectionObject = static_cast<PFILE_OBJECT>(object);
    s = ObReferenceObjectByHandle(AddressHandle, GENERIC_READ | GENERIC_WRITE, nullptr, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(s)) return s;
    AddressObject = static_cast<PFILE_OBJECT>(object);
    return STATUS_SUCCESS;
  }

  void Close() {
    if (ConnectionObject) ObDereferenceObject(ConnectionObject);
    if (AddressObject) ObDereferenceObject(AddressObject);
    if (ConnectionHandle) ZwClose(ConnectionHandle);
    if (AddressHandle) ZwClose(AddressHandle);
    AddressHandle = ConnectionHandle = nullptr;
    AddressObject = ConnectionObject = nullptr;
  }
  ~Endpoint() { Close(); }

  // Builds, sends and waits for one request; Build fills the TDI part.
  NTSTATUS Call(const std::function<void(PIRP, PDEVICE_OBJECT)>& Build, ULONG_PTR* Information = nullptr) {
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(ConnectionObject);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    Build(irp, device);
    NTSTATUS s = IoCallDriver(device, irp);
    if (s == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      s = iosb.Status;
    }
    if (Information != nullptr) *Information = iosb.Information;
    return NT_SUCCESS(s) ? iosb.Status : s;
  }

  NTSTATUS Associate() {
    return Call([&](PIRP irp, PDEVICE_OBJECT d) {
      TdiBuildAssociateAddress(irp, d, ConnectionObject, nullptr, nullptr, AddressHandle);
    });
  }
  NTSTATUS Connect(USHORT Port, ULONG InAddr = htonl(INADDR_LOOPBACK)) {
    TA_IP_ADDRESS remote = IpAddress(InAddr, Port);
    return ConnectTo(&remote, sizeof remote);
  }
  NTSTATUS ConnectTo(PVOID Remote, LONG Length) {
    TDI_CONNECTION_INFORMATION info{};
    info.RemoteAddress = Remote;
    info.RemoteAddressLength = Length;
    return Call([&](PIRP irp, PDEVICE_OBJECT d) {
      TdiBuildConnect(irp, d, ConnectionObject, nullptr, nullptr, nullptr, &info, nullptr);
    });
  }
  NTSTATUS Disconnect() {
    return Call([&](PIRP irp, PDEVICE_OBJECT d) {
      TdiBuildDisconnect(irp, d, ConnectionObject, nullptr, nullptr, nullptr, TDI_DISCONNECT_RELEASE, nullptr, nullptr);
    });
  }
  NTSTATUS Transfer(UCHAR Minor, void* Buffer, ULONG Length, ULONG_PTR* Moved) {
    PMDL mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, nullptr);
    if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
    return Call(
        [&](PIRP irp, PDEVICE_OBJECT d) {
          if (Minor == TDI_SEND)
            TdiBuildSend(irp, d, ConnectionObject, nullptr, nullptr, mdl, 0, Length);
          else
            TdiBuildReceive(irp, d, ConnectionObject, nullptr, nullptr, mdl, TDI_RECEIVE_NORMAL, Length);
        },
        Moved);
  }
  // One send or receive over a chain of MDLs, one per piece, asking for
  // Length bytes in all.
  NTSTATUS TransferChain(UCHAR Minor, const std::vector<std::pair<void*, ULONG>>& Pieces, ULONG Length,
                         ULONG_PTR* Moved) {
    PMDL first = nullptr;
    PMDL* link = &first;
    for (const auto& [data, length] : Pieces) {
      PMDL mdl = IoAllocateMdl(data, length, FALSE, FALSE, nullptr);
      if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
      MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
      *link = mdl;
      link = &mdl->Next;
    }
    return Call(
        [&](PIRP irp, PDEVICE_OBJECT d) {
          if (Minor == TDI_SEND)
            TdiBuildSend(irp, d, ConnectionObject, nullptr, nullptr, first, 0, Length);
          else
            TdiBuildReceive(irp, d, ConnectionObject, nullptr, nullptr, first, TDI_RECEIVE_NORMAL, Length);
        },
        Moved);
  }
  NTSTATUS Send(const void* Data, ULONG Length, ULONG_PTR* Moved) {
    return Transfer(TDI_SEND, const_cast<void*>(Data), Length, Moved);
  }
  NTSTATUS Receive(void* Data, ULONG Length, ULONG_PTR* Moved) { return Transfer(TDI_RECEIVE, Data, Length, Moved); }
};


}  // namespace netdisk_test
