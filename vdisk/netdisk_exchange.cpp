// Exchanges of the network disk protocol. The wire records and their
// checked parsing live in netdisk_protocol.h, shared with the server.
#include "vdisk/netdisk_exchange.h"

#include <algorithm>
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

NTSTATUS NoCheck(ULONG)
{
    return STATUS_SUCCESS;
}

// Moves every byte of Pieces (sent or received, in order), looping on
// partial moves. After each move Check sees the bytes moved so far and may
// end the transfer with a failure.
template <typename CheckFn>
NTSTATUS MoveAll(NETDISK_CONNECTION* Connection, bool Send, NETDISK_BUFFER* Pieces, ULONG Count, CheckFn Check)
{
    Deadline limit;
    ULONG first = 0;
    ULONG done = 0;
    for (;;) {
        while (first < Count && Pieces[first].Length == 0) {
            ++first;
        }
        if (first == Count) {
            return STATUS_SUCCESS;
        }
        if (limit.Passed()) {
            return STATUS_IO_TIMEOUT;
        }
        ULONG moved = 0;
        NTSTATUS status = Send ? NetTdiSend(Connection, Pieces + first, Count - first, &moved)
                               : NetTdiReceive(Connection, Pieces + first, Count - first, &moved);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        done += moved;
        for (ULONG i = first; i < Count && moved != 0; ++i) {
            const ULONG take = std::min(moved, Pieces[i].Length);
            Pieces[i].Data = static_cast<PUCHAR>(Pieces[i].Data) + take;
            Pieces[i].Length -= take;
            moved -= take;
        }
        status = Check(done);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
}

// The stream is out of step after a failed exchange: nothing more is read
// from it.
NTSTATUS DropConnection(NETDISK_CONNECTION* Connection, NTSTATUS Status)
{
    NetTdiDisconnect(Connection, TDI_DISCONNECT_ABORT);
    return Status;
}

// --- Reads in flight -----------------------------------------------------------

NETDISK_PENDING_READ& PendingAt(NETDISK_CONNECTION* Connection, ULONG Index)
{
    return Connection->Pending[(Connection->PendingFirst + Index) % NETDISK_MAX_IN_FLIGHT];
}

VOID PushPending(NETDISK_CONNECTION* Connection, LONGLONG Offset, ULONG Count)
{
    PendingAt(Connection, Connection->PendingCount) = {Offset, Count};
    ++Connection->PendingCount;
}

VOID PopPending(NETDISK_CONNECTION* Connection)
{
    Connection->PendingFirst = (Connection->PendingFirst + 1) % NETDISK_MAX_IN_FLIGHT;
    --Connection->PendingCount;
}

// The exchanges of Transfers consecutive transfers of Length bytes from
// Offset on, each split into parts of at most 64 KiB, one after another.
class PartCursor {
public:
    PartCursor(LONGLONG Offset, ULONG Length, ULONG Transfers)
        : start_(Offset), length_(Length), transfersLeft_(Length == 0 ? 0 : Transfers)
    {
    }
    bool Done() const { return transfersLeft_ == 0; }
    LONGLONG Offset() const { return start_ + within_; }
    ULONG Count() const { return std::min(length_ - within_, nd::kMaxExchange); }
    VOID Next()
    {
        within_ += Count();
        if (within_ == length_) {
            start_ += length_;
            within_ = 0;
            --transfersLeft_;
        }
    }

private:
    LONGLONG start_;
    ULONG length_;
    ULONG within_ = 0;
    ULONG transfersLeft_;
};

// Receives one read reply: the header into its own record and Count data
// bytes into Data, in the same transport requests. When Checked, a header
// that reports another count fails at once, before its filler is waited
// for; a reply being dropped unread only has to keep the stream in step
// (its data part always follows, whatever the count says).
NTSTATUS ReceiveReadReply(NETDISK_CONNECTION* Connection, ULONG Count, PUCHAR Data, bool Checked = true)
{
    UCHAR header[nd::kTransferReplySize];
    NETDISK_BUFFER pieces[NETDISK_MAX_PIECES] = {{header, ULONG(sizeof(header))}, {Data, Count}};
    bool checked = !Checked;
    return MoveAll(Connection, false, pieces, NETDISK_MAX_PIECES, [&](ULONG Done) {
        if (checked || Done < sizeof(header)) {
            return STATUS_SUCCESS;
        }
        checked = true;
        // A server that moved fewer bytes than asked sends filler, not the disk.
        return nd::ParseTransferReply(header, sizeof(header), Count, nullptr) == nd::ReplyError::None
                   ? STATUS_SUCCESS
                   : STATUS_DEVICE_PROTOCOL_ERROR;
    });
}

// Receives and drops every read reply in flight. A read-ahead the server
// could not serve is nobody's failure yet: only a broken stream fails here,
// and then the connection is dropped.
NTSTATUS DiscardInFlight(NETDISK_CONNECTION* Connection)
{
    if (Connection->PendingCount == 0) {
        return STATUS_SUCCESS;
    }
    if (Connection->Scratch == nullptr) {
        Connection->Scratch = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, nd::kMaxExchange, VDISK_POOL_TAG));
        if (Connection->Scratch == nullptr) {
            return DropConnection(Connection, STATUS_INSUFFICIENT_RESOURCES);
        }
    }
    while (Connection->PendingCount != 0) {
        NTSTATUS status = ReceiveReadReply(Connection, PendingAt(Connection, 0).Count, Connection->Scratch, false);
        if (!NT_SUCCESS(status)) {
            DbgPrint("Read Recv Error %X\n", unsigned(status));
            return DropConnection(Connection, status);
        }
        PopPending(Connection);
    }
    return STATUS_SUCCESS;
}

// Sends the requests of ToSend's next exchanges while fewer than
// NETDISK_MAX_IN_FLIGHT are in flight, all in one send.
NTSTATUS SendReadRequests(NETDISK_CONNECTION* Connection, PartCursor* ToSend)
{
    UCHAR batch[NETDISK_MAX_IN_FLIGHT * nd::kRequestSize];
    ULONG length = 0;
    while (!ToSend->Done() && Connection->PendingCount < NETDISK_MAX_IN_FLIGHT) {
        nd::EncodeRequest({nd::kOpRead, uint64_t(ToSend->Offset()), ToSend->Count()}, batch + length);
        PushPending(Connection, ToSend->Offset(), ToSend->Count());
        length += ULONG(nd::kRequestSize);
        ToSend->Next();
    }
    NETDISK_BUFFER piece{batch, length};
    return MoveAll(Connection, true, &piece, 1, NoCheck);
}

}  // namespace

NTSTATUS NetDiskReadRange(NETDISK_CONNECTION* Connection, LONGLONG Offset, ULONG Length, PUCHAR Destination,
                          ULONG ReadAheadTransfers)
{
    PartCursor wanted(Offset, Length, 1 + ReadAheadTransfers);
    if (wanted.Done()) {
        return STATUS_SUCCESS;
    }

    // Replies in flight serve this read only when they are the very
    // exchanges it starts with; otherwise they are of no use.
    PartCursor toSend = wanted;
    bool usable = true;
    // exchanges it starts with; otherwise they are of no use. Ones beyond
    // what this read wants stay in flight, in order, for the next.
    for (ULONG i = 0; i < Connection->PendingCount && !toSend.Done(); ++i) {
        const NETDISK_PENDING_READ& pending = PendingAt(Connection, i);
        if (pending.Offset != toSend.Offset() || pending.Count != toSend.Count()) {
            usable = false;
            break;
        }
        toSend.Next();
    }
    if (!usable) {
        NTSTATUS status = DiscardInFlight(Connection);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        toSend = wanted;
    }

    for (ULONG position = 0; position < Length;) {
        NTSTATUS status = SendReadRequests(Connection, &toSend);
        if (!NT_SUCCESS(status)) {
            DbgPrint("Read Send Error %X\n", unsigned(status));
            return DropConnection(Connection, status);
        }
        const NETDISK_PENDING_READ head = PendingAt(Connection, 0);
        status = ReceiveReadReply(Connection, head.Count, Destination + position);
        if (!NT_SUCCESS(status)) {
            DbgPrint("Read Recv Error %X\n", unsigned(status));
            return DropConnection(Connection, status);
        }
        PopPending(Connection);
        nd::Descramble(Destination + position, head.Count);
        position += head.Count;
    }

    // The read is whole; a read-ahead that cannot be sent only costs the
    // connection, which the next transfer makes again.
    NTSTATUS status = SendReadRequests(Connection, &toSend);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Read Send Error %X\n", unsigned(status));
        DropConnection(Connection, status);
    }
    return STATUS_SUCCESS;
}

NTSTATUS NetDiskWriteRange(NETDISK_CONNECTION* Connection, LONGLONG Offset, ULONG Length, const UCHAR* Source)
{
    // Reads asked for before this write must not be taken after it.
    NTSTATUS status = DiscardInFlight(Connection);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UCHAR headers[NETDISK_WRITES_IN_FLIGHT][nd::kRequestSize];
    PartCursor toSend(Offset, Length, 1);
    PartCursor toReceive = toSend;
    for (ULONG sent = 0, received = 0; !toReceive.Done(); ++received) {
        for (; !toSend.Done() && sent - received < NETDISK_WRITES_IN_FLIGHT; ++sent, toSend.Next()) {
            PUCHAR header = headers[sent % NETDISK_WRITES_IN_FLIGHT];
            nd::EncodeRequest({nd::kOpWrite, uint64_t(toSend.Offset()), toSend.Count()}, header);
            NETDISK_BUFFER pieces[NETDISK_MAX_PIECES] = {
                {header, ULONG(nd::kRequestSize)},
                {const_cast<PUCHAR>(Source) + (toSend.Offset() - Offset), toSend.Count()}};
            status = MoveAll(Connection, true, pieces, NETDISK_MAX_PIECES, NoCheck);
            if (!NT_SUCCESS(status)) {
                DbgPrint("Write send error %X\n", unsigned(status));
                return DropConnection(Connection, status);
            }
        }

        // Without the reply nobody knows whether the data arrived: a failure.
        UCHAR reply[nd::kTransferReplySize];
        NETDISK_BUFFER piece{reply, ULONG(sizeof(reply))};
        status = MoveAll(Connection, false, &piece, 1, NoCheck);
        if (NT_SUCCESS(status) &&
            nd::ParseTransferReply(reply, sizeof(reply), toReceive.Count(), nullptr) != nd::ReplyError::None) {
            status = STATUS_DEVICE_PROTOCOL_ERROR;
        }
        if (!NT_SUCCESS(status)) {
            DbgPrint("Write Recv Error %X\n", unsigned(status));
            return DropConnection(Connection, status);
        }
        toReceive.Next();
    }
    return STATUS_SUCCESS;
}

NTSTATUS NetDiskQuerySize(NETDISK_CONNECTION* Connection, LONGLONG* DiskSize)
{
    NTSTATUS status = DiscardInFlight(Connection);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UCHAR request[nd::kRequestSize];
    nd::EncodeRequest({nd::kOpQuerySize, 0, 0}, request);
    NETDISK_BUFFER piece{request, ULONG(sizeof(request))};
    status = MoveAll(Connection, true, &piece, 1, NoCheck);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Query Send Error %X\n", unsigned(status));
        return DropConnection(Connection, status);
    }
    UCHAR reply[nd::kQueryReplySize];
    piece = {reply, ULONG(sizeof(reply))};
    status = MoveAll(Connection, false, &piece, 1, NoCheck);
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
