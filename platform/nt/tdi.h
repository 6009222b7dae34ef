// The TCP transport "\Device\Tcp" as drivers reach it: transport addresses,
// connection information, the TDI internal device-control requests and the
// macros that build them, by the driver kit's names.
//
// A client opens the device twice, once with the extended attribute
// "TransportAddress" (a TA_IP_ADDRESS: the address object) and once with
// "ConnectionContext" (the connection endpoint), references both file
// objects, associates the endpoint with the address, and then connects,
// sends, receives and disconnects with IRP_MJ_INTERNAL_DEVICE_CONTROL
// requests whose minor function is the TDI_* code. Every request completes
// before the dispatch routine returns (the transport never answers
// STATUS_PENDING), so a caller waiting on an event for STATUS_PENDING is
// served as well.
//
// Underneath, each connection endpoint is one Linux TCP socket. Sends and
// receives move what one sendmsg()/recvmsg() moves and report it in
// IoStatus.Information, so they may complete partly, as TCP does. They take
// the request's whole MDL chain (up to eight MDLs, in order), so a header
// and its data part go out in one send, or arrive in one receive, without
// being copied together first.
//
// Statuses:
//   TDI_CONNECT     STATUS_CONNECTION_REFUSED, STATUS_IO_TIMEOUT (no answer
//                   within the connect time-out), STATUS_NETWORK_UNREACHABLE,
//                   STATUS_HOST_UNREACHABLE, STATUS_INVALID_ADDRESS (malformed
//                   remote address or endpoint not associated),
//                   STATUS_CONNECTION_ACTIVE (already connected)
//   TDI_SEND, TDI_RECEIVE
//                   STATUS_INVALID_DEVICE_STATE once the peer has closed or
//                   reset the connection (the endpoint is no longer connected;
//                   a client reconnects on it), STATUS_IO_TIMEOUT when nothing
//                   moves within the receive time-out, STATUS_INVALID_CONNECTION
//                   when the endpoint is not connected at all
//   TDI_DISCONNECT  STATUS_INVALID_CONNECTION when not connected
#pragma once

#include "wdm.h"

#if __has_include("zwfile.h")
#include "zwfile.h"  // FILE_FULL_EA_INFORMATION
#else
// FIXME: drop once the native file layer (zwfile.h, with this record) is on
// every branch.
typedef struct _FILE_FULL_EA_INFORMATION {
  ULONG NextEntryOffset;
  UCHAR Flags;
  UCHAR EaNameLength;
  USHORT EaValueLength;
  CHAR EaName[1];
} FILE_FULL_EA_INFORMATION, *PFILE_FULL_EA_INFORMATION;
#endif

#ifndef STATUS_CONNECTION_ACTIVE
#define STATUS_CONNECTION_ACTIVE ((NTSTATUS)0xC000023BL)
#endif
#ifndef STATUS_ADDRESS_ALREADY_ASSOCIATED
#define STATUS_ADDRESS_ALREADY_ASSOCIATED ((NTSTATUS)0xC0000238L)
#endif
#ifndef STATUS_INVALID_EA_NAME
#define STATUS_INVALID_EA_NAME ((NTSTATUS)0x80000013L)
#endif
#ifndef STATUS_EA_LIST_INCONSISTENT
#define STATUS_EA_LIST_INCONSISTENT ((NTSTATUS)0x80000014L)
#endif

// --- Names and constants ----------------------------------------------------

#define DD_TCP_DEVICE_NAME u"\\Device\\Tcp"

#define TdiTransportAddress "TransportAddress"
#define TdiConnectionContext "ConnectionContext"
#define TDI_TRANSPORT_ADDRESS_LENGTH (sizeof(TdiTransportAddress) - 1)
#define TDI_CONNECTION_CONTEXT_LENGTH (sizeof(TdiConnectionContext) - 1)

// FileObject->FsContext2 of the transport's file objects.
#define TDI_TRANSPORT_ADDRESS_FILE 1
#define TDI_CONNECTION_FILE 2
#define TDI_CONTROL_CHANNEL_FILE 3

// Minor functions of IRP_MJ_INTERNAL_DEVICE_CONTROL.
#define TDI_ASSOCIATE_ADDRESS 0x01
#define TDI_DISASSOCIATE_ADDRESS 0x02
#define TDI_CONNECT 0x03
#define TDI_LISTEN 0x04
#define TDI_ACCEPT 0x05
#define TDI_DISCONNECT 0x06
#define TDI_SEND 0x07
#define TDI_RECEIVE 0x08
#define TDI_SEND_DATAGRAM 0x09
#define TDI_RECEIVE_DATAGRAM 0x0A
#define TDI_SET_EVENT_HANDLER 0x0B
#define TDI_QUERY_INFORMATION 0x0C
#define TDI_SET_INFORMATION 0x0D
#define TDI_ACTION 0x0E

#define TDI_DISCONNECT_WAIT 0x0001
#define TDI_DISCONNECT_ABORT 0x0002
#define TDI_DISCONNECT_RELEASE 0x0004

#define TDI_RECEIVE_TRUNCATED 0x00000001
#define TDI_RECEIVE_FRAGMENT 0x00000002
#define TDI_RECEIVE_BROADCAST 0x00000004
#define TDI_RECEIVE_MULTICAST 0x00000008
#define TDI_RECEIVE_PARTIAL 0x00000010
#define TDI_RECEIVE_NORMAL 0x00000020
#define TDI_RECEIVE_EXPEDITED 0x00000040
#define TDI_RECEIVE_PEEK 0x00000080

#define TDI_SEND_EXPEDITED 0x0020
#define TDI_SEND_PARTIAL 0x0040
#define TDI_SEND_NO_RESPONSE_EXPECTED 0x0080
#define TDI_SEND_NON_BLOCKING 0x0100

#define TDI_ADDRESS_TYPE_IP 2

// Time-outs of the transport (not Windows values): how long a connect may
// wait for the peer, and how long a send or receive may wait for any byte
// to move, before the request fails with STATUS_IO_TIMEOUT. They keep a
// stalled server from holding a driver's worker thread for ever.
#define TCP_CONNECT_TIMEOUT_MS 30000
#define TCP_RECEIVE_TIMEOUT_MS 30000

// --- Records --------------------------------------------------------------

#pragma pack(push, 1)

typedef struct _TDI_ADDRESS_IP {
  USHORT sin_port;  // network byte order
  ULONG in_addr;    // network byte order
  UCHAR sin_zero[8];
} TDI_ADDRESS_IP, *PTDI_ADDRESS_IP;

#define TDI_ADDRESS_LENGTH_IP sizeof(TDI_ADDRESS_IP)

typedef struct _TA_ADDRESS {
  USHORT AddressLength;  // bytes of Address
  USHORT AddressType;
  UCHAR Address[1];
} TA_ADDRESS, *PTA_ADDRESS;

typedef struct _TRANSPORT_ADDRESS {
  LONG TAAddressCount;
  TA_ADDRESS Address[1];
} TRANSPORT_ADDRESS, *PTRANSPORT_ADDRESS;

typedef struct _TA_ADDRESS_IP {
  LONG TAAddressCount;
  struct _AddrIp {
    USHORT AddressLength;
    USHORT AddressType;
    TDI_ADDRESS_IP Address[1];
  } Address[1];
} TA_IP_ADDRESS, *PTA_IP_ADDRESS;

#pragma pack(pop)

static_assert(sizeof(TDI_ADDRESS_IP) == 14, "TDI_ADDRESS_IP layout");
static_assert(sizeof(TA_IP_ADDRESS) == 22, "TA_IP_ADDRESS layout");

typedef struct _TDI_CONNECTION_INFORMATION {
  LONG UserDataLength;
  PVOID UserData;
  LONG OptionsLength;
  PVOID Options;
  LONG RemoteAddressLength;
  PVOID RemoteAddress;  // a TRANSPORT_ADDRESS
} TDI_CONNECTION_INFORMATION, *PTDI_CONNECTION_INFORMATION;

// These overlay IO_STACK_LOCATION.Parameters of the TDI requests.
typedef struct _TDI_REQUEST_KERNEL {
  ULONG_PTR RequestFlags;
  PTDI_CONNECTION_INFORMATION RequestConnectionInformation;
  PTDI_CONNECTION_INFORMATION ReturnConnectionInformation;
  PVOID RequestSpecific;  // TDI_CONNECT, TDI_DISCONNECT: PLARGE_INTEGER time-out or NULL
} TDI_REQUEST_KERNEL, *PTDI_REQUEST_KERNEL;

typedef TDI_REQUEST_KERNEL TDI_REQUEST_KERNEL_CONNECT, *PTDI_REQUEST_KERNEL_CONNECT;
typedef TDI_REQUEST_KERNEL TDI_REQUEST_KERNEL_DISCONNECT, *PTDI_REQUEST_KERNEL_DISCONNECT;

typedef struct _TDI_REQUEST_KERNEL_ASSOCIATE {
  HANDLE AddressHandle;
} TDI_REQUEST_KERNEL_ASSOCIATE, *PTDI_REQUEST_KERNEL_ASSOCIATE;

typedef struct _TDI_REQUEST_KERNEL_SEND {
  ULONG SendLength;
  ULONG SendFlags;
} TDI_REQUEST_KERNEL_SEND, *PTDI_REQUEST_KERNEL_SEND;

typedef struct _TDI_REQUEST_KERNEL_RECEIVE {
  ULONG ReceiveLength;
  ULONG ReceiveFlags;
} TDI_REQUEST_KERNEL_RECEIVE, *PTDI_REQUEST_KERNEL_RECEIVE;

static_assert(sizeof(TDI_REQUEST_KERNEL) <= sizeof(((IO_STACK_LOCATION*)0)->Parameters),
              "TDI parameters fit the stack location");

// --- Building requests ----------------------------------------------------------

#define TDI_SET_COMPLETION_(Irp, CompRoutine, Contxt)                      \
  do {                                                                     \
    if ((CompRoutine) != NULL)                                             \
      IoSetCompletionRoutine((Irp), (CompRoutine), (Contxt), TRUE, TRUE, TRUE); \
    else                                                                   \
      IoSetCompletionRoutine((Irp), NULL, NULL, FALSE, FALSE, FALSE);      \
  } while (0)

#define TdiBuildAssociateAddress(Irp, DevObj, FileObj, CompRoutine, Contxt, AddrHandle) \
  do {                                                                                  \
    PIO_STACK_LOCATION _IRPSP;                                                          \
    TDI_SET_COMPLETION_(Irp, CompRoutine, Contxt);                                      \
    _IRPSP = IoGetNextIrpStackLocation(Irp);                                            \
    _IRPSP->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;                             \
    _IRPSP->MinorFunction = TDI_ASSOCIATE_ADDRESS;                                      \
    _IRPSP->DeviceObject = (DevObj);                                                    \
    _IRPSP->FileObject = (FileObj);                                                     \
    ((PTDI_REQUEST_KERNEL_ASSOCIATE)&_IRPSP->Parameters)->AddressHandle = (HANDLE)(AddrHandle); \
  } while (0)

#define TdiBuildDisassociateAddress(Irp, DevObj, FileObj, CompRoutine, Contxt) \
  do {                                                                         \
    PIO_STACK_LOCATION _IRPSP;                                                 \
    TDI_SET_COMPLETION_(Irp, CompRoutine, Contxt);                             \
    _IRPSP = IoGetNextIrpStackLocation(Irp);                                   \
    _IRPSP->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;                    \
    _IRPSP->MinorFunction = TDI_DISASSOCIATE_ADDRESS;                          \
    _IRPSP->DeviceObject = (DevObj);                                           \
    _IRPSP->FileObject = (FileObj);                                            \
  } while (0)

#define TdiBuildConnect(Irp, DevObj, ConnObj, CompRoutine, Contxt, Time, RequestConnectionInfo, \
                        ReturnConnectionInfo)                                                   \
  do {                                                                                          \
    PTDI_REQUEST_KERNEL _p;                                                                     \
    PIO_STACK_LOCATION _IRPSP;                                                                  \
    TDI_SET_COMPLETION_(Irp, CompRoutine, Contxt);                                              \
    _IRPSP = IoGetNextIrpStackLocation(Irp);                                                    \
    _IRPSP->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;                                     \
    _IRPSP->MinorFunction = TDI_CONNECT;                                                        \
    _IRPSP->DeviceObject = (DevObj);                                                            \
    _IRPSP->FileObject = (ConnObj);                                                             \
    _p = (PTDI_REQUEST_KERNEL)&_IRPSP->Parameters;                                              \
    _p->RequestConnectionInformation = (RequestConnectionInfo);                                 \
    _p->ReturnConnectionInformation = (ReturnConnectionInfo);                                   \
    _p->RequestSpecific = (PVOID)(Time);                                                        \
  } while (0)

#define TdiBuildDisconnect(Irp, DevObj, FileObj, CompRoutine, Contxt, Time, Flags, RequestConnectionInfo, \
                           ReturnConnectionInfo)                                                          \
  do {                                                                                                    \
    PTDI_REQUEST_KERNEL _p;                                                                               \
    PIO_STACK_LOCATION _IRPSP;                                                                            \
    TDI_SET_COMPLETION_(Irp, CompRoutine, Contxt);                                                        \
    _IRPSP = IoGetNextIrpStackLocation(Irp);                                                              \
    _IRPSP->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;                                               \
    _IRPSP->MinorFunction = TDI_DISCONNECT;                                                               \
    _IRPSP->DeviceObject = (DevObj);                                                                      \
    _IRPSP->FileObject = (FileObj);                                                                       \
    _p = (PTDI_REQUEST_KERNEL)&_IRPSP->Parameters;                                                        \
    _p->RequestFlags = (ULONG_PTR)(Flags);                                                                \
    _p->RequestConnectionInformation = (RequestConnectionInfo);                                           \
    _p->ReturnConnectionInformation = (ReturnConnectionInfo);                                             \
    _p->RequestSpecific = (PVOID)(Time);                                                                  \
  } while (0)

#define TdiBuildSend(Irp, DevObj, FileObj, CompRoutine, Contxt, MdlAddr, InFlags, SendLen) \
  do {                                                                                     \
    PTDI_REQUEST_KERNEL_SEND _p;                                                           \
    PIO_STACK_LOCATION _IRPSP;                                                             \
    TDI_SET_COMPLETION_(Irp, CompRoutine, Contxt);                                         \
    _IRPSP = IoGetNextIrpStackLocation(Irp);                                               \
    _IRPSP->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;                                \
    _IRPSP->MinorFunction = TDI_SEND;                                                      \
    _IRPSP->DeviceObject = (DevObj);                                                       \
    _IRPSP->FileObject = (FileObj);                                                        \
    _p = (PTDI_REQUEST_KERNEL_SEND)&_IRPSP->Parameters;                                    \
    _p->SendFlags = (InFlags);                                                             \
    _p->SendLength = (SendLen);                                                            \
    (Irp)->MdlAddress = (MdlAddr);                                                         \
  } while (0)

#define TdiBuildReceive(Irp, DevObj, FileObj, CompRoutine, Contxt, MdlAddr, InFlags, ReceiveLen) \
  do {                                                                                           \
    PTDI_REQUEST_KERNEL_RECEIVE _p;                                                              \
    PIO_STACK_LOCATION _IRPSP;                                                                   \
    TDI_SET_COMPLETION_(Irp, CompRoutine, Contxt);                                               \
    _IRPSP = IoGetNextIrpStackLocation(Irp);                                                     \
    _IRPSP->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;                                      \
    _IRPSP->MinorFunction = TDI_RECEIVE;                                                         \
    _IRPSP->DeviceObject = (DevObj);                                                             \
    _IRPSP->FileObject = (FileObj);                                                              \
    _p = (PTDI_REQUEST_KERNEL_RECEIVE)&_IRPSP->Parameters;                                       \
    _p->ReceiveFlags = (InFlags);                                                                \
    _p->ReceiveLength = (ReceiveLen);                                                            \
    (Irp)->MdlAddress = (MdlAddr);                                                               \
  } while (0)

#ifdef __cplusplus
extern "C" {
#endif

// The transport driver. The machine loads it once, as
// NtHostLoadDriver(L"\\Driver\\Tcp", TcpDriverEntry, ...); it creates
// "\Device\Tcp" and removes it again when unloaded.
NTSTATUS TcpDriverEntry(_In_ PDRIVER_OBJECT DriverObject, _In_ PUNICODE_STRING RegistryPath);

// What ZwCreateFile does for a device name such as "\Device\Tcp": makes a
// file object on the named device, sends it IRP_MJ_CREATE with the extended
// attributes in the request's system buffer, and on success returns a
// kernel handle. The file object gets IRP_MJ_CLEANUP and IRP_MJ_CLOSE when
// its last reference goes. STATUS_OBJECT_NAME_NOT_FOUND when no device has
// the name; otherwise the driver's status.
// ZwCreateFile routes "\Device\..." names here, so drivers open the
// transport as they do on Windows.
NTSTATUS TdiOpenTransport(_Out_ PHANDLE FileHandle, _In_ ACCESS_MASK DesiredAccess,
                          _In_ POBJECT_ATTRIBUTES ObjectAttributes, _Out_ PIO_STATUS_BLOCK IoStatusBlock,
                          _In_opt_ PLARGE_INTEGER AllocationSize, _In_ ULONG FileAttributes,
                          _In_ ULONG ShareAccess, _In_ ULONG CreateDisposition, _In_ ULONG CreateOptions,
                          _In_opt_ PVOID EaBuffer, _In_ ULONG EaLength);

// Test hook (not Windows API): replaces the connect and receive time-outs
// (milliseconds; 0 restores TCP_CONNECT_TIMEOUT_MS / TCP_RECEIVE_TIMEOUT_MS).
// Applies to connections made afterwards.
VOID NtTcpSetTimeouts(_In_ ULONG ConnectMs, _In_ ULONG ReceiveMs);

#ifdef __cplusplus
}
#endif
