// Exchanges of the network disk protocol. The wire records and their
// checked parsing live in netdisk_protocol.h, shared with the server.
#include "vdisk/netdisk_exchange.h"

#include <atomic>

#include "vdisk/netdisk_protocol.h"

namespace nd = tarn::netdisk;

namespace {

std::atomic<ULONG> ExchangeTimeoutMs{NETDISK_EXCHANGE_TIMEOUT_MS};

constexpr ULONGLONG kHundredNsPerMs = 10000;

class Deadline {
public:
    Deadline() : end_(KeQueryInterruptTime() + ULONGLONG(ExchangeTimeoutMs.load()) * kHundredNsPerMs) {}
    bool Passed() const { return KeQueryInterruptTime() > end_; }

private:
    ULONGLONG end_;
};

NTSTATUS SendAll(NETDISK_CONNECTION* Connection, PUCHAR Data, ULONG Length, const Deadline& Limit)
{
    for (ULONG done = 0; done < Length;) {
        if (Limit.Passed()) {
            return STATUS_IO_TIMEOUT;
        }
        ULONG moved = 0;
        NTSTATUS status = NetTdiSend(Connection, Data + done, Length - done, &moved);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        done += moved;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ReceiveAll(NETDISK_CONNECTION* Connection, PUCHAR Data, ULONG Length, const Deadline& Limit)
{
    for (ULONG done = 0; done < Length;) {
        if (Limit.Passed()) {
            return STATUS_IO_TIMEOUT;
        }
        ULONG moved = 0;
        NTSTATUS status = NetTdiReceive(Connection, Data + done, Length - done, &moved);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        done += moved;
    }
    return STATUS_SUCCESS;
}

// The stream is out of step after a failed exchange: nothing more is read
// from it.
NTSTATUS DropConnection(NETDISK_CONNECTION* Connection, NTSTATUS Status)
{
    NetTdiDisconnect(Connection, TDI_DISCONNECT_ABORT);
    return Status;
}

}  // namespace

NTSTATUS NetDiskReadExchange(NETDISK_CONNECTION* Connection, LONGLONG Offset, ULONG Count, PUCHAR Destination)
{
    Deadline limit;
    UCHAR request[nd::kRequestSize];
    nd::EncodeRequest({nd::kOpRead, uint64_t(Offset), Count}, request);
    NTSTATUS status = SendAll(Connection, request, sizeof(request), limit);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Read Send Error %X\n", unsigned(status));
        return DropConnection(Connection, status);
    }

    // A server that moved fewer bytes than asked sends filler, not the disk.
    UCHAR reply[nd::kTransferReplySize];
    status = ReceiveAll(Connection, reply, sizeof(reply), limit);
    if (NT_SUCCESS(status) && nd::ParseTransferReply(reply, sizeof(reply), Count, nullptr) != nd::ReplyError::None) {
        status = STATUS_DEVICE_PROTOCOL_ERROR;
    }
    if (NT_SUCCESS(status)) {
        status = ReceiveAll(Connection, Destination, Count, limit);
    }
    if (!NT_SUCCESS(status)) {
        DbgPrint("Read Recv Error %X\n", unsigned(status));
        return DropConnection(Connection, status);
    }
    nd::Descramble(Destination, Count);
    return STATUS_SUCCESS;
}

NTSTATUS NetDiskWriteExchange(NETDISK_CONNECTION* Connection, LONGLONG Offset, ULONG Count, const UCHAR* Source,
                              PUCHAR SendBuffer)
{
    Deadline limit;
    nd::EncodeRequest({nd::kOpWrite, uint64_t(Offset), Count}, SendBuffer);
    RtlCopyMemory(SendBuffer + nd::kRequestSize, Source, Count);
    NTSTATUS status = SendAll(Connection, SendBuffer, ULONG(nd::kRequestSize) + Count, limit);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Write send error %X\n", unsigned(status));
        return DropConnection(Connection, status);
    }

    // Without the reply nobody knows whether the data arrived: a failure.
    UCHAR reply[nd::kTransferReplySize];
    status = ReceiveAll(Connection, reply, sizeof(reply), limit);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Write Recv Error %X\n", unsigned(status));
        return DropConnection(Connection, status);
    }
    if (nd::ParseTransferReply(reply, sizeof(reply), Count, nullptr) != nd::ReplyError::None) {
        DbgPrint("Write Recv Error %X\n", unsigned(STATUS_DEVICE_PROTOCOL_ERROR));
        return DropConnection(Connection, STATUS_DEVICE_PROTOCOL_ERROR);
    }
    return STATUS_SUCCESS;
}

NTSTATUS NetDiskQuerySize(NETDISK_CONNECTION* Connection, LONGLONG* DiskSize)
{
    Deadline limit;
    UCHAR request[nd::kRequestSize];
    nd::EncodeRequest({nd::kOpQuerySize, 0, 0}, request);
    NTSTATUS status = SendAll(Connection, request, sizeof(request), limit);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Query Send Error %X\n", unsigned(status));
        return DropConnection(Connection, status);
    }
    UCHAR reply[nd::kQueryReplySize];
    status = ReceiveAll(Connection, reply, sizeof(reply), limit);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Query Recv Error %X\n", unsigned(status));
        return DropConnection(Connection, status);
    }
    int64_t size = 0;
    if (nd::ParseQueryReply(reply, sizeof(reply), &size) != nd::ReplyError::None) {
        DbgPrint("Query Device Information error !\n");
        return DropConnection(Connection, STATUS_UNSUCCESSFUL);
    }
    *DiskSize = size;
    DbgPrint("device size is %ld %d %d\n", long(size), int(uint64_t(size) >> 32), int(uint32_t(size)));
    return STATUS_SUCCESS;
}

VOID NetDiskSetExchangeTimeout(ULONG Milliseconds)
{
    ExchangeTimeoutMs = Milliseconds != 0 ? Milliseconds : NETDISK_EXCHANGE_TIMEOUT_MS;
}
