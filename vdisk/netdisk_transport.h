// The network disk client's side of the TCP transport "\Device\Tcp": the
// connection record and the TDI requests it sends. Worker thread only; every
// call waits for its request to complete.
#pragma once

#include "platform/nt/tdi.h"
#include "vdisk/extension.h"

// A read request sent whose reply has not been received yet.
struct NETDISK_PENDING_READ {
    LONGLONG Offset;
    ULONG Count;
};

// Most read requests a connection keeps outstanding (the server answers
// them in order; their replies wait in the socket buffers meanwhile).
constexpr ULONG NETDISK_MAX_IN_FLIGHT = 16;

// The connection record a network disk's Backing points to.
// Connected: beyond the four fields of the record; whether the endpoint is
// connected to the server. An exchange that fails part-way leaves the byte
// stream out of step, so the exchange drops the connection and the next
// transfer connects again before it sends anything.
// Pending: the read requests in flight, oldest first (ring of
// NETDISK_MAX_IN_FLIGHT from PendingFirst); a disconnect empties it.
// Scratch: where unwanted read replies are received and dropped (64 KiB,
// allocated when first needed, freed at close).
// NextReadAt: where the last read ended (-1: none yet), to see sequential
// reads.
struct NETDISK_CONNECTION {
    HANDLE AddressHandle;
    HANDLE ConnectionHandle;
    PFILE_OBJECT AddressObject;     // referenced file object of the address
    PFILE_OBJECT ConnectionObject;  // referenced file object of the endpoint
    BOOLEAN Connected;
    NETDISK_PENDING_READ Pending[NETDISK_MAX_IN_FLIGHT];
    ULONG PendingFirst;
    ULONG PendingCount;
    PUCHAR Scratch;
    LONGLONG NextReadAt;
};

// One piece of a send or receive buffer.
struct NETDISK_BUFFER {
    PVOID Data;
    ULONG Length;
};
constexpr ULONG NETDISK_MAX_PIECES = 2;

// Opens the endpoint and the address (any local address and port) and
// associates them. On failure nothing is left behind and the failing step
// is named on the debug output.
NTSTATUS NetTdiOpen(NETDISK_CONNECTION** Connection);
// Connects to Address:Port (both in network byte order, as in the mount
// record). The transport bounds the wait (its connect time-out).
NTSTATUS NetTdiConnect(NETDISK_CONNECTION* Connection, ULONG Address, USHORT Port);
// TDI_DISCONNECT_RELEASE, or TDI_DISCONNECT_ABORT when the stream is out of
// step and must not be read again. Clears Connected and Pending.
NTSTATUS NetTdiDisconnect(NETDISK_CONNECTION* Connection, ULONG Flags);
// One TDI_SEND / TDI_RECEIVE over Count (1 or 2) pieces in order, as one
// MDL chain: a header and its data part move in one request without being
// copied together. *Moved gets the bytes moved (maybe fewer than asked, as
// TCP moves them).
NTSTATUS NetTdiSend(NETDISK_CONNECTION* Connection, const NETDISK_BUFFER* Pieces, ULONG Count, PULONG Moved);
NTSTATUS NetTdiReceive(NETDISK_CONNECTION* Connection, const NETDISK_BUFFER* Pieces, ULONG Count, PULONG Moved);
// Dereferences both file objects, closes both handles, frees the scratch
// buffer and the record.
VOID NetTdiClose(NETDISK_CONNECTION* Connection);
