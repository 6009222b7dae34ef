// TDI requests of the network disk client: each is an internal device
// control request built with IoBuildDeviceIoControlRequest, sent to the
// transport and waited for on a local event.
#include "vdisk/netdisk_transport.h"

#include <cstring>

#include "platform/nt/tdi.h"
#include "platform/nt/zwfile.h"

namespace {

DECLARE_CONST_UNICODE_STRING(TcpDeviceName, DD_TCP_DEVICE_NAME);

// Room for one FILE_FULL_EA_INFORMATION entry with the longer of the two
// names and a TA_IP_ADDRESS value.
constexpr size_t kEaBufferSize = 64;

// One extended attribute: Name (NUL-terminated in the entry) and its value.
ULONG BuildEa(UCHAR (&Buffer)[kEaBufferSize], const char* Name, size_t NameLength, const void* Value,
              USHORT ValueLength)
{
    static_assert(kEaBufferSize >= FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName) + TDI_CONNECTION_CONTEXT_LENGTH + 1 +
                                       sizeof(TA_IP_ADDRESS));
    RtlZeroMemory(Buffer, sizeof(Buffer));
    auto* ea = reinterpret_cast<PFILE_FULL_EA_INFORMATION>(Buffer);
    ea->NextEntryOffset = 0;
    ea->Flags = 0;
    ea->EaNameLength = UCHAR(NameLength);
    ea->EaValueLength = ValueLength;
    RtlCopyMemory(ea->EaName, Name, NameLength + 1);
    RtlCopyMemory(ea->EaName + NameLength + 1, Value, ValueLength);
    return ULONG(FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName) + NameLength + 1 + ValueLength);
}

NTSTATUS OpenTcp(PHANDLE Handle, PVOID Ea, ULONG EaLength)
{
    UNICODE_STRING name = TcpDeviceName;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK ioStatus;
    return ZwCreateFile(Handle, 0, &attributes, &ioStatus, nullptr, FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN, 0, Ea,
                        EaLength);
}

TA_IP_ADDRESS IpAddress(ULONG Address, USHORT Port)
{
    TA_IP_ADDRESS ta{};
    ta.TAAddressCount = 1;
    ta.Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
    ta.Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
    ta.Address[0].Address[0].in_addr = Address;
    ta.Address[0].Address[0].sin_port = Port;
    return ta;
}

VOID FreeMdls(PMDL Mdl)
{
    while (Mdl != nullptr) {
        PMDL next = Mdl->Next;
        MmUnlockPages(Mdl);
        IoFreeMdl(Mdl);
        Mdl = next;
    }
}

// Builds one request for the connection's device, lets Build fill in the
// TDI part, sends it and waits. The request belongs to the I/O manager,
// which frees it and its MDL when it completes. The result is the call's
// status, or the request's final one when the call succeeded or pended.
template <typename Builder>
NTSTATUS CallTransport(NETDISK_CONNECTION* Connection, PMDL Mdl, PULONG Moved, Builder Build)
{
    if (Moved != nullptr) {
        *Moved = 0;
    }
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(Connection->ConnectionObject);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(0, device, nullptr, 0, nullptr, 0, TRUE, &done, &ioStatus);
    if (irp == nullptr) {
        FreeMdls(Mdl);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Build(irp, device);
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    } else if (NT_SUCCESS(status)) {
        status = ioStatus.Status;
    }
    if (Moved != nullptr && NT_SUCCESS(status)) {
        *Moved = ULONG(ioStatus.Information);
    }
    return status;
}

// An MDL chain for the pieces of a send or receive buffer, probed and
// locked for modify access; nullptr when an MDL cannot be had.
PMDL LockBuffers(const NETDISK_BUFFER* Pieces, ULONG Count)
{
    PMDL first = nullptr;
    PMDL* link = &first;
    for (ULONG i = 0; i < Count; ++i) {
        if (Pieces[i].Length == 0) {
            continue;
        }
        PMDL mdl = IoAllocateMdl(Pieces[i].Data, Pieces[i].Length, FALSE, FALSE, nullptr);
        if (mdl == nullptr) {
            FreeMdls(first);
            return nullptr;
        }
        MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
        *link = mdl;
        link = &mdl->Next;
    }
    return first;
}

ULONG TotalLength(const NETDISK_BUFFER* Pieces, ULONG Count)
{
    ULONG total = 0;
    for (ULONG i = 0; i < Count; ++i) {
        total += Pieces[i].Length;
    }
    return total;
}

NTSTATUS Associate(NETDISK_CONNECTION* Connection)
{
    return CallTransport(Connection, nullptr, nullptr, [&](PIRP Irp, PDEVICE_OBJECT Device) {
        TdiBuildAssociateAddress(Irp, Device, Connection->ConnectionObject, nullptr, nullptr,
                                 Connection->AddressHandle);
    });
}

NTSTATUS ReferenceFile(HANDLE Handle, PFILE_OBJECT* File)
{
    PVOID object = nullptr;
    NTSTATUS status =
        ObReferenceObjectByHandle(Handle, GENERIC_READ | GENERIC_WRITE, *IoFileObjectType, KernelMode, &object, nullptr);
    *File = NT_SUCCESS(status) ? static_cast<PFILE_OBJECT>(object) : nullptr;
    return status;
}

// Gives back whatever part of the record is set, and the record.
VOID ReleaseConnection(NETDISK_CONNECTION* Connection)
{
    if (Connection->ConnectionObject != nullptr) {
        ObDereferenceObject(Connection->ConnectionObject);
    }
    if (Connection->AddressObject != nullptr) {
        ObDereferenceObject(Connection->AddressObject);
    }
    if (Connection->ConnectionHandle != nullptr) {
        ZwClose(Connection->ConnectionHandle);
    }
    if (Connection->AddressHandle != nullptr) {
        ZwClose(Connection->AddressHandle);
    }
    if (Connection->Scratch != nullptr) {
        ExFreePoolWithTag(Connection->Scratch, VDISK_POOL_TAG);
    }
    ExFreePoolWithTag(Connection, VDISK_POOL_TAG);
}

}  // namespace

NTSTATUS NetTdiOpen(NETDISK_CONNECTION** Connection)
{
    *Connection = nullptr;
    auto* connection =
        static_cast<NETDISK_CONNECTION*>(ExAllocatePoolWithTag(PagedPool, sizeof(NETDISK_CONNECTION), VDISK_POOL_TAG));
    if (connection == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(connection, sizeof(*connection));
    connection->NextReadAt = -1;

    UCHAR ea[kEaBufferSize];
    PVOID context = connection;  // the transport hands it back; we never look at it
    ULONG eaLength = BuildEa(ea, TdiConnectionContext, TDI_CONNECTION_CONTEXT_LENGTH, &context, sizeof(context));
    NTSTATUS status = OpenTcp(&connection->ConnectionHandle, ea, eaLength);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Create Connect Error %X\n", unsigned(status));
        connection->ConnectionHandle = nullptr;
        ReleaseConnection(connection);
        return status;
    }

    TA_IP_ADDRESS any = IpAddress(0, 0);
    eaLength = BuildEa(ea, TdiTransportAddress, TDI_TRANSPORT_ADDRESS_LENGTH, &any, sizeof(any));
    status = OpenTcp(&connection->AddressHandle, ea, eaLength);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Create address Error %X\n", unsigned(status));
        connection->AddressHandle = nullptr;
        ReleaseConnection(connection);
        return status;
    }

    status = ReferenceFile(connection->ConnectionHandle, &connection->ConnectionObject);
    if (NT_SUCCESS(status)) {
        status = ReferenceFile(connection->AddressHandle, &connection->AddressObject);
    }
    if (NT_SUCCESS(status)) {
        status = Associate(connection);
    }
    if (!NT_SUCCESS(status)) {
        DbgPrint("Bind Error %X\n", unsigned(status));
        ReleaseConnection(connection);
        return status;
    }
    *Connection = connection;
    return STATUS_SUCCESS;
}

NTSTATUS NetTdiConnect(NETDISK_CONNECTION* Connection, ULONG Address, USHORT Port)
{
    TA_IP_ADDRESS remote = IpAddress(Address, Port);
    TDI_CONNECTION_INFORMATION info{};
    info.RemoteAddressLength = sizeof(remote);
    info.RemoteAddress = &remote;
    NTSTATUS status = CallTransport(Connection, nullptr, nullptr, [&](PIRP Irp, PDEVICE_OBJECT Device) {
        TdiBuildConnect(Irp, Device, Connection->ConnectionObject, nullptr, nullptr, nullptr, &info, nullptr);
    });
    Connection->Connected = NT_SUCCESS(status);
    return status;
}

NTSTATUS NetTdiDisconnect(NETDISK_CONNECTION* Connection, ULONG Flags)
{
    Connection->Connected = FALSE;
    Connection->PendingFirst = 0;
    Connection->PendingCount = 0;
    return CallTransport(Connection, nullptr, nullptr, [&](PIRP Irp, PDEVICE_OBJECT Device) {
        TdiBuildDisconnect(Irp, Device, Connection->ConnectionObject, nullptr, nullptr, nullptr, Flags, nullptr,
                           nullptr);
    });
}

NTSTATUS NetTdiSend(NETDISK_CONNECTION* Connection, const NETDISK_BUFFER* Pieces, ULONG Count, PULONG Moved)
{
    const ULONG length = TotalLength(Pieces, Count);
    PMDL mdl = LockBuffers(Pieces, Count);
    if (mdl == nullptr && length != 0) {
        *Moved = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return CallTransport(Connection, mdl, Moved, [&](PIRP Irp, PDEVICE_OBJECT Device) {
        TdiBuildSend(Irp, Device, Connection->ConnectionObject, nullptr, nullptr, mdl, 0, length);
    });
}

NTSTATUS NetTdiReceive(NETDISK_CONNECTION* Connection, const NETDISK_BUFFER* Pieces, ULONG Count, PULONG Moved)
{
    const ULONG length = TotalLength(Pieces, Count);
    PMDL mdl = LockBuffers(Pieces, Count);
    if (mdl == nullptr && length != 0) {
        *Moved = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return CallTransport(Connection, mdl, Moved, [&](PIRP Irp, PDEVICE_OBJECT Device) {
        TdiBuildReceive(Irp, Device, Connection->ConnectionObject, nullptr, nullptr, mdl, TDI_RECEIVE_NORMAL, length);
    });
}

VOID NetTdiClose(NETDISK_CONNECTION* Connection)
{
    if (Connection != nullptr) {
        ReleaseConnection(Connection);
    }
}
