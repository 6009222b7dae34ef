// The network disk client's side of the TCP transport "\Device\Tcp": the
// connection record and the TDI requests it sends. Worker thread only; every
// call waits for its request to complete.
#pragma once

#include "platform/nt/tdi.h"
#include "vdisk/extension.h"

// The connection record a network disk's Backing points to.
// Connected: beyond the four fields of the record; whether the endpoint is
// connected to the server. An exchange that fails part-way leaves the byte
// stream out of step, so the exchange drops the connection and the next
// transfer connects again before it sends anything.
struct NETDISK_CONNECTION {
    HANDLE AddressHandle;
    HANDLE ConnectionHandle;
    PFILE_OBJECT AddressObject;     // referenced file object of the address
    PFILE_OBJECT ConnectionObject;  // referenced file object of the endpoint
    BOOLEAN Connected;
};

// Opens the endpoint and the address (any local address and port) and
// associates them. On failure nothing is left behind and the failing step
// is named on the debug output.
NTSTATUS NetTdiOpen(NETDISK_CONNECTION** Connection);
// Connects to Address:Port (both in network byte order, as in the mount
// record). The transport bounds the wait (its connect time-out).
NTSTATUS NetTdiConnect(NETDISK_CONNECTION* Connection, ULONG Address, USHORT Port);
// TDI_DISCONNECT_RELEASE, or TDI_DISCONNECT_ABORT when the stream is out of
// step and must not be read again. Clears Connected.
NTSTATUS NetTdiDisconnect(NETDISK_CONNECTION* Connection, ULONG Flags);
// One TDI_SEND / TDI_RECEIVE; *Moved gets the bytes moved (maybe fewer than
// Length, as TCP moves them).
NTSTATUS NetTdiSend(NETDISK_CONNECTION* Connection, PVOID Data, ULONG Length, PULONG Moved);
NTSTATUS NetTdiReceive(NETDISK_CONNECTION* Connection, PVOID Data, ULONG Length, PULONG Moved);
// Dereferences both file objects, closes both handles, frees the record.
VOID NetTdiClose(NETDISK_CONNECTION* Connection);
