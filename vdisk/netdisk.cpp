// Network disk client: mount, transfers (split into exchanges of at most
// 64 KiB, several in flight, by netdisk_exchange), read-ahead for
// sequential readers, the single reconnection, the local cache and the
// sector encryption. Everything runs in the device's worker thread, one
// transfer at a time.
#include "vdisk/netdisk.h"

#include <ntstrsafe.h>

#include <algorithm>

#include "cipher/sector.h"
#include "vdisk/netdisk_cache.h"
#include "vdisk/netdisk_exchange.h"
#include "vdisk/netdisk_protocol.h"
#include "vdisk/netdisk_transport.h"

namespace {

NETDISK_CONNECTION* ConnectionOf(VDISK_EXTENSION* Extension)
{
    return static_cast<NETDISK_CONNECTION*>(Extension->Backing);
}

NETDISK_CACHE* CacheOf(VDISK_EXTENSION* Extension)
{
    return static_cast<NETDISK_CACHE*>(Extension->Cache);
}

NTSTATUS Fail(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Information = 0;
    return Irp->IoStatus.Status = Status;
}

bool WithinDisk(LONGLONG Offset, ULONG Length, LONGLONG DiskSize)
{
    return Offset >= 0 && Offset <= DiskSize && LONGLONG(Length) <= DiskSize - Offset;
}

bool UnitAligned(LONGLONG Offset, ULONG Length)
{
    return Offset % VDISK_UNIT_SIZE == 0 && Length % VDISK_UNIT_SIZE == 0;
}

// A pool buffer freed at the end of the scope.
class PoolBuffer {
public:
    PoolBuffer() = default;
    bool Allocate(SIZE_T Size)
    {
        data_ = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, Size, VDISK_POOL_TAG));
        return data_ != nullptr;
    }
    ~PoolBuffer()
    {
        if (data_ != nullptr) {
            ExFreePoolWithTag(data_, VDISK_POOL_TAG);
        }
    }
    PoolBuffer(const PoolBuffer&) = delete;
    PoolBuffer& operator=(const PoolBuffer&) = delete;

    PUCHAR get() const { return data_; }

private:
    PUCHAR data_ = nullptr;
};

// A connection dropped by a failed exchange is made again before the next
// transfer sends anything.
NTSTATUS EnsureConnected(VDISK_EXTENSION* Extension)
{
    NETDISK_CONNECTION* connection = ConnectionOf(Extension);
    if (connection->Connected) {
        return STATUS_SUCCESS;
    }
    return NetTdiConnect(connection, Extension->ServerAddress, Extension->ServerPort);
}

NTSTATUS Reconnect(VDISK_EXTENSION* Extension)
{
    NETDISK_CONNECTION* connection = ConnectionOf(Extension);
    if (connection->Connected) {
        NetTdiDisconnect(connection, TDI_DISCONNECT_RELEASE);
    }
    return NetTdiConnect(connection, Extension->ServerAddress, Extension->ServerPort);
}

// How far a sequential reader is read ahead of what it asked for.
constexpr ULONG kReadAheadBytes = 512 * 1024;

// A read that starts where the last one ended is taken as part of a
// sequential stream: the reads of the same length that would follow it are
// asked for now, as far as the disk goes. The read-ahead is topped up once
// half of it has been taken, so its requests go out several at a time.
ULONG ReadAheadTransfers(VDISK_EXTENSION* Extension, LONGLONG Offset, ULONG Length)
{
    NETDISK_CONNECTION* connection = ConnectionOf(Extension);
    if (Length == 0 || Offset != connection->NextReadAt) {
        return 0;
    }
    const LONGLONG room = (Extension->DiskSize - Offset - LONGLONG(Length)) / LONGLONG(Length);
    const ULONG transfers = ULONG(std::clamp<LONGLONG>(room, 0, std::max<ULONG>(1, kReadAheadBytes / Length)));
    const auto partsPerTransfer =
        ULONG((ULONGLONG(Length) + tarn::netdisk::kMaxExchange - 1) / tarn::netdisk::kMaxExchange);
    const ULONG pending = connection->PendingCount;
    const ULONG aheadInFlight = pending > partsPerTransfer ? pending - partsPerTransfer : 0;
    return aheadInFlight > transfers * partsPerTransfer / 2 ? 0 : transfers;
}

// A transfer that meets a connection the server closed is repeated once,
// whole, after connecting again. The repeat is split like the first try:
// the server takes no exchange over 64 KiB.
template <typename TransferFn>
NTSTATUS WithOneReconnect(VDISK_EXTENSION* Extension, TransferFn Transfer)
{
    NTSTATUS status = EnsureConnected(Extension);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = Transfer();
    if (status != STATUS_INVALID_DEVICE_STATE) {
        return status;
    }
    status = Reconnect(Extension);
    return NT_SUCCESS(status) ? Transfer() : status;
}

NTSTATUS FetchRange(VDISK_EXTENSION* Extension, LONGLONG Offset, ULONG Length, PUCHAR Destination)
{
    NETDISK_CONNECTION* connection = ConnectionOf(Extension);
    const ULONG readAhead = ReadAheadTransfers(Extension, Offset, Length);
    NTSTATUS status = WithOneReconnect(
        Extension, [&] { return NetDiskReadRange(connection, Offset, Length, Destination, readAhead); });
    connection->NextReadAt = NT_SUCCESS(status) ? Offset + LONGLONG(Length) : -1;
    return status;
}

NTSTATUS StoreRange(VDISK_EXTENSION* Extension, LONGLONG Offset, ULONG Length, const UCHAR* Source)
{
    NETDISK_CONNECTION* connection = ConnectionOf(Extension);
    return WithOneReconnect(Extension, [&] { return NetDiskWriteRange(connection, Offset, Length, Source); });
}

PUCHAR CallerBuffer(PIRP Irp)
{
    return Irp->MdlAddress == nullptr
               ? nullptr
               : static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority));
}

// Releases what a mount (or the unmount) holds.
VOID CloseMedium(VDISK_EXTENSION* Extension)
{
    NetCacheRelease(CacheOf(Extension));
    Extension->Cache = nullptr;
    if (NETDISK_CONNECTION* connection = ConnectionOf(Extension)) {
        if (connection->Connected) {
            NetTdiDisconnect(connection, TDI_DISCONNECT_RELEASE);
        }
        NetTdiClose(connection);
    }
    Extension->Backing = nullptr;
}

NTSTATUS CreateCache(VDISK_EXTENSION* Extension, const VDISK_MOUNT_RECORD* Record, LONGLONG DiskSize)
{
    size_t chars = 0;
    if (!NT_SUCCESS(RtlStringCchLengthW(reinterpret_cast<PCWSTR>(Record->CacheFileName), VDISK_NAME_CHARS, &chars))) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    UNICODE_STRING name;
    name.Buffer = const_cast<PWCH>(reinterpret_cast<PCWSTR>(Record->CacheFileName));
    name.Length = USHORT(chars * sizeof(WCHAR));
    name.MaximumLength = USHORT(VDISK_NAME_BYTES);
    NETDISK_CACHE* cache = nullptr;
    NTSTATUS status = NetCacheCreate(&name, DiskSize, &cache);
    Extension->Cache = cache;
    return status;
}

}  // namespace

NTSTATUS NetDiskOpen(VDISK_EXTENSION* Extension, const VDISK_MOUNT_RECORD* Record, PDEVICE_OBJECT DeviceObject)
{
    Extension->Backing = nullptr;
    Extension->Cache = nullptr;
    NETDISK_CONNECTION* connection = nullptr;
    NTSTATUS status = NetTdiOpen(&connection);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Extension->Backing = connection;

    status = NetTdiConnect(connection, Extension->ServerAddress, Extension->ServerPort);
    // The size counts only from a well-formed reply; without one there is
    // no disk to offer.
    LONGLONG diskSize = 0;
    if (NT_SUCCESS(status)) {
        status = NetDiskQuerySize(connection, &diskSize);
    }
    if (NT_SUCCESS(status) && Extension->UseLocalCache) {
        status = CreateCache(Extension, Record, diskSize);
    }
    if (!NT_SUCCESS(status)) {
        CloseMedium(Extension);
        return status;
    }
    {
        FastMutexGuard lock(&Extension->MountLock);
        Extension->DiskSize = diskSize;
    }
    DeviceObject->AlignmentRequirement = FILE_512_BYTE_ALIGNMENT;

    // As for an image: the marker is decided at mount from unit 0; a unit 0
    // that cannot be read counts as one without the marker.
    UCHAR unit0[VDISK_UNIT_SIZE] = {};
    const ULONG probe = ULONG(std::min<LONGLONG>(diskSize, VDISK_UNIT_SIZE));
    if (!NT_SUCCESS(FetchRange(Extension, 0, probe, unit0))) {
        RtlZeroMemory(unit0, sizeof(unit0));
    }
    {
        FastMutexGuard lock(&Extension->CryptLock);
        VdiskDecideMarker(Extension, unit0, sizeof(unit0));
    }
    return STATUS_SUCCESS;
}

NTSTATUS NetDiskRead(VDISK_EXTENSION* Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG length = stack->Parameters.Read.Length;
    const LONGLONG offset = stack->Parameters.Read.ByteOffset.QuadPart;
    NETDISK_CACHE* cache = CacheOf(Extension);
    if (!WithinDisk(offset, length, Extension->DiskSize) || (cache != nullptr && !UnitAligned(offset, length))) {
        return Fail(Irp, STATUS_INVALID_PARAMETER);
    }
    PUCHAR caller = CallerBuffer(Irp);
    if (caller == nullptr) {
        return Fail(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }

    NTSTATUS status = FetchRange(Extension, offset, length, caller);
    if (NT_SUCCESS(status) && cache != nullptr) {
        status = NetCacheOverlay(cache, offset, length, caller);
    }
    if (!NT_SUCCESS(status)) {
        return Fail(Irp, status);
    }
    {
        FastMutexGuard lock(&Extension->CryptLock);
        if (!FlagIsSet(Extension->Encrypted) && offset == 0) {
            VdiskDecideMarker(Extension, caller, length);
        }
        if (FlagIsSet(Extension->Encrypted) && FlagIsSet(Extension->KeyLoaded)) {
            if (!UnitAligned(offset, length)) {
                return Fail(Irp, STATUS_INVALID_PARAMETER);
            }
            DecryptTransfer(&Extension->UserKey, &Extension->FixedKey, uint64_t(offset), caller, length);
        }
    }
    Irp->IoStatus.Information = length;
    return Irp->IoStatus.Status = STATUS_SUCCESS;
}

NTSTATUS NetDiskWrite(VDISK_EXTENSION* Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG length = stack->Parameters.Write.Length;
    const LONGLONG offset = stack->Parameters.Write.ByteOffset.QuadPart;
    NETDISK_CACHE* cache = CacheOf(Extension);
    if (!WithinDisk(offset, length, Extension->DiskSize) || (cache != nullptr && !UnitAligned(offset, length))) {
        return Fail(Irp, STATUS_INVALID_PARAMETER);
    }
    // A read-only mount never changes the disk, cached or not.
    if (FlagIsSet(Extension->ReadOnly)) {
        return Fail(Irp, STATUS_MEDIA_WRITE_PROTECTED);
    }
    PUCHAR caller = CallerBuffer(Irp);
    if (caller == nullptr) {
        return Fail(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }

    // The ciphertext is made in a temporary buffer, so the caller's pages
    // hold their plaintext throughout.
    PoolBuffer ciphertext;
    const UCHAR* source = caller;
    {
        FastMutexGuard lock(&Extension->CryptLock);
        if (FlagIsSet(Extension->Encrypted) && FlagIsSet(Extension->KeyLoaded)) {
            if (!UnitAligned(offset, length) || !ciphertext.Allocate(length)) {
                return Fail(Irp, STATUS_INVALID_PARAMETER);
            }
            RtlCopyMemory(ciphertext.get(), caller, length);
            EncryptTransfer(&Extension->UserKey, &Extension->FixedKey, uint64_t(offset), ciphertext.get(), length);
            source = ciphertext.get();
        }
    }

    NTSTATUS status = cache != nullptr ? NetCacheWrite(cache, offset, length, source)
                                       : StoreRange(Extension, offset, length, source);
    if (!NT_SUCCESS(status)) {
        return Fail(Irp, status);
    }
    Irp->IoStatus.Information = length;
    return Irp->IoStatus.Status = STATUS_SUCCESS;
}

VOID NetDiskClose(VDISK_EXTENSION* Extension)
{
    CloseMedium(Extension);
}
