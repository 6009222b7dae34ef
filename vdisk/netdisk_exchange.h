// The request/reply exchanges of the network disk protocol over one
// connection: read, write and size query.
//
// Reads and writes of a range go as exchanges of at most 64 KiB, several in
// flight at once: the server answers in request order, so the client sends
// the next requests before the earlier replies are in, and the server works
// on one while the client takes in another. A header and its data part move
// in one transport request (an MDL chain), and read replies are received
// straight into the caller's buffer.
//
// Read-ahead: a read may also ask for the reads that would follow it
// (ReadAheadTransfers of the same length, split the same way). Their
// requests stay in flight on the connection; a later read that asks for
// exactly those exchanges takes their replies, anything else drops them
// unread (received into a scratch buffer). Writes and size queries drop
// them first, so no read ever returns data older than a write of this
// client.
//
// Time-out: the transport bounds every single send and receive (30 s by
// default); a server that keeps dripping a byte now and then would still
// hold the worker, so each request's sending and each reply's receiving
// also has a deadline (NETDISK_EXCHANGE_TIMEOUT_MS), checked before every
// transport call. A stalled exchange thus fails with STATUS_IO_TIMEOUT after
// at most the deadline plus one transport time-out (90 s by default).
//
// An exchange that fails drops its connection (abortive disconnect): what
// the server sends afterwards can no longer be told apart from the next
// reply, so every later reply in flight is lost with it and the transfer
// fails. The caller connects again before the next exchange.
#pragma once

#include "vdisk/netdisk_transport.h"

constexpr ULONG NETDISK_EXCHANGE_TIMEOUT_MS = 60000;

// Most write exchanges in flight at once (their data waits in the socket
// buffers).
constexpr ULONG NETDISK_WRITES_IN_FLIGHT = 4;

// A reply that does not have the record's shape (wrong byte count in a
// transfer reply).
#ifndef STATUS_DEVICE_PROTOCOL_ERROR
#define STATUS_DEVICE_PROTOCOL_ERROR ((NTSTATUS)0xC0000186L)
#endif

// Reads Length bytes at Offset into Destination, descrambled, and leaves
// requests for up to ReadAheadTransfers following reads of Length bytes in
// flight (never more than NETDISK_MAX_IN_FLIGHT exchanges). The caller keeps
// the read-ahead inside the disk.
NTSTATUS NetDiskReadRange(NETDISK_CONNECTION* Connection, LONGLONG Offset, ULONG Length, PUCHAR Destination,
                          ULONG ReadAheadTransfers);
// Writes Length bytes of Source at Offset. Every exchange's reply must come
// back and report its whole count, or the write fails.
NTSTATUS NetDiskWriteRange(NETDISK_CONNECTION* Connection, LONGLONG Offset, ULONG Length, const UCHAR* Source);
// The disk size; STATUS_UNSUCCESSFUL for a malformed reply (length field
// not 16, size zero, negative or beyond 2^62).
NTSTATUS NetDiskQuerySize(NETDISK_CONNECTION* Connection, LONGLONG* DiskSize);

// Test hook (not part of the driver's interface): replaces the exchange
// deadline (milliseconds; 0 restores NETDISK_EXCHANGE_TIMEOUT_MS).
VOID NetDiskSetExchangeTimeout(ULONG Milliseconds);
