// The request/reply exchanges of the network disk protocol over one
// connection: read, write and size query. Each sends its whole request,
// looping on partial sends, then receives its whole reply, looping on
// partial receives.
//
// Time-out: the transport bounds every single send and receive (30 s by
// default); a server that keeps dripping a byte now and then would still
// hold the worker, so each whole exchange also has a deadline
// (NETDISK_EXCHANGE_TIMEOUT_MS), checked before every transport call. A
// stalled exchange thus fails with STATUS_IO_TIMEOUT after at most the
// deadline plus one transport time-out (90 s by default).
//
// An exchange that fails drops its connection (abortive disconnect): what
// the server sends afterwards can no longer be told apart from the next
// reply. The caller connects again before the next exchange.
#pragma once

#include "vdisk/netdisk_transport.h"

constexpr ULONG NETDISK_EXCHANGE_TIMEOUT_MS = 60000;

// A reply that does not have the record's shape (wrong byte count in a
// transfer reply).
#ifndef STATUS_DEVICE_PROTOCOL_ERROR
#define STATUS_DEVICE_PROTOCOL_ERROR ((NTSTATUS)0xC0000186L)
#endif

// Reads Count (at most 64 KiB) bytes at Offset into Destination, descrambled.
NTSTATUS NetDiskReadExchange(NETDISK_CONNECTION* Connection, LONGLONG Offset, ULONG Count, PUCHAR Destination);
// Writes Count (at most 64 KiB) bytes of Source at Offset. SendBuffer holds
// at least 24 + Count bytes: header and data go out in one send buffer.
NTSTATUS NetDiskWriteExchange(NETDISK_CONNECTION* Connection, LONGLONG Offset, ULONG Count, const UCHAR* Source,
                              PUCHAR SendBuffer);
// The disk size; STATUS_UNSUCCESSFUL for a malformed reply (length field
// not 16, size zero, negative or beyond 2^62).
NTSTATUS NetDiskQuerySize(NETDISK_CONNECTION* Connection, LONGLONG* DiskSize);

// Test hook (not part of the driver's interface): replaces the exchange
// deadline (milliseconds; 0 restores NETDISK_EXCHANGE_TIMEOUT_MS).
VOID NetDiskSetExchangeTimeout(ULONG Milliseconds);
