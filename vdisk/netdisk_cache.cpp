// The local write cache of a network disk. Worker thread only.
#include "vdisk/netdisk_cache.h"

#include "platform/nt/zwfile.h"

#ifndef STATUS_FILE_CORRUPT_ERROR
#define STATUS_FILE_CORRUPT_ERROR ((NTSTATUS)0xC0000102L)
#endif

namespace {

// FILE_DELETE_ON_CLOSE | FILE_RANDOM_ACCESS | FILE_NON_DIRECTORY_FILE |
// FILE_SYNCHRONOUS_IO_NONALERT | FILE_NO_INTERMEDIATE_BUFFERING
constexpr ULONG kCacheOptions = 0x1868;
static_assert(kCacheOptions == (FILE_DELETE_ON_CLOSE | FILE_RANDOM_ACCESS | FILE_NON_DIRECTORY_FILE |
                                FILE_SYNCHRONOUS_IO_NONALERT | FILE_NO_INTERMEDIATE_BUFFERING));

constexpr SIZE_T kTableBytes = NETDISK_CACHE_TABLE_ENTRIES * sizeof(ULONG);

// The table entry of a disk block, or null when its table was never
// allocated and Allocate is false. *Status is STATUS_NO_MEMORY when the
// table could not be allocated.
PULONG EntryOf(NETDISK_CACHE* Cache, ULONGLONG Block, bool Allocate, NTSTATUS* Status)
{
    const SIZE_T index = SIZE_T(Block / NETDISK_CACHE_TABLE_ENTRIES);
    PULONG& table = Cache->Directory[index];
    if (table == nullptr) {
        if (!Allocate) {
            return nullptr;
        }
        table = static_cast<PULONG>(ExAllocatePoolZero(PagedPool, kTableBytes, VDISK_POOL_TAG));
        if (table == nullptr) {
            *Status = STATUS_NO_MEMORY;
            return nullptr;
        }
    }
    return &table[Block % NETDISK_CACHE_TABLE_ENTRIES];
}

// The cache-file block of a disk block; 0 when it is not cached.
ULONG CachedBlock(NETDISK_CACHE* Cache, ULONGLONG Block)
{
    NTSTATUS ignored;
    PULONG entry = EntryOf(Cache, Block, false, &ignored);
    return entry == nullptr ? 0 : *entry;
}

// Whether the transfer is whole blocks at block boundaries, on the disk.
bool BlockRange(const NETDISK_CACHE* Cache, LONGLONG Offset, ULONG Length)
{
    return Offset >= 0 && Offset % NETDISK_CACHE_BLOCK == 0 && Length % NETDISK_CACHE_BLOCK == 0 &&
           Offset <= Cache->CacheDiskSize && LONGLONG(Length) <= Cache->CacheDiskSize - Offset;
}

}  // namespace

NTSTATUS NetCacheCreate(PUNICODE_STRING FileName, LONGLONG DiskSize, NETDISK_CACHE** Cache)
{
    *Cache = nullptr;
    if (DiskSize <= 0 || DiskSize > NETDISK_CACHE_MAX_DISK) {
        return STATUS_NO_MEMORY;
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, FileName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status = ZwCreateFile(&handle, GENERIC_READ | GENERIC_WRITE, &attributes, &ioStatus, nullptr,
                                   FILE_ATTRIBUTE_NORMAL, 0, FILE_OVERWRITE_IF, kCacheOptions, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    auto* cache = static_cast<NETDISK_CACHE*>(ExAllocatePoolZero(PagedPool, sizeof(NETDISK_CACHE), VDISK_POOL_TAG));
    const LONGLONG mib = LONGLONG(NETDISK_CACHE_TABLE_ENTRIES) * NETDISK_CACHE_BLOCK;
    const SIZE_T entries = SIZE_T((DiskSize + mib - 1) / mib);
    PULONG* directory =
        cache == nullptr ? nullptr
                         : static_cast<PULONG*>(ExAllocatePoolZero(PagedPool, entries * sizeof(PULONG), VDISK_POOL_TAG));
    if (directory == nullptr) {
        if (cache != nullptr) {
            ExFreePoolWithTag(cache, VDISK_POOL_TAG);
        }
        ZwClose(handle);
        return STATUS_NO_MEMORY;
    }
    cache->CacheHandle = handle;
    cache->CacheDiskSize = DiskSize;
    cache->BlockSize = NETDISK_CACHE_BLOCK;
    cache->NextBlock = 1;
    cache->Directory = directory;
    cache->DirectoryEntries = entries;
    *Cache = cache;
    return STATUS_SUCCESS;
}

NTSTATUS NetCacheWrite(NETDISK_CACHE* Cache, LONGLONG Offset, ULONG Length, const UCHAR* Data)
{
    if (!BlockRange(Cache, Offset, Length)) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONGLONG first = ULONGLONG(Offset) / NETDISK_CACHE_BLOCK;
    const ULONG count = Length / NETDISK_CACHE_BLOCK;

    // Every block gets its place first, so the runs below are known.
    for (ULONG i = 0; i < count; ++i) {
        NTSTATUS status = STATUS_SUCCESS;
        PULONG entry = EntryOf(Cache, first + i, true, &status);
        if (entry == nullptr) {
            return status;
        }
        if (*entry == 0) {
            *entry = Cache->NextBlock++;
        }
    }

    // Blocks whose cache-file blocks follow each other go in one write.
    for (ULONG i = 0; i < count;) {
        const ULONG start = CachedBlock(Cache, first + i);
        ULONG run = 1;
        while (i + run < count && CachedBlock(Cache, first + i + run) == start + run) {
            ++run;
        }
        LARGE_INTEGER at;
        at.QuadPart = LONGLONG(start) * NETDISK_CACHE_BLOCK;
        IO_STATUS_BLOCK ioStatus;
        NTSTATUS status = ZwWriteFile(Cache->CacheHandle, nullptr, nullptr, nullptr, &ioStatus,
                                      const_cast<PUCHAR>(Data) + SIZE_T(i) * NETDISK_CACHE_BLOCK,
                                      run * NETDISK_CACHE_BLOCK, &at, nullptr);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (ioStatus.Information != run * NETDISK_CACHE_BLOCK) {
            return STATUS_DISK_FULL;
        }
        i += run;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NetCacheOverlay(NETDISK_CACHE* Cache, LONGLONG Offset, ULONG Length, PUCHAR Buffer)
{
    if (!BlockRange(Cache, Offset, Length)) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONGLONG first = ULONGLONG(Offset) / NETDISK_CACHE_BLOCK;
    const ULONG count = Length / NETDISK_CACHE_BLOCK;
    for (ULONG i = 0; i < count;) {
        const ULONG start = CachedBlock(Cache, first + i);
        if (start == 0) {
            ++i;
            continue;
        }
        ULONG run = 1;
        while (i + run < count && CachedBlock(Cache, first + i + run) == start + run) {
            ++run;
        }
        LARGE_INTEGER at;
        at.QuadPart = LONGLONG(start) * NETDISK_CACHE_BLOCK;
        IO_STATUS_BLOCK ioStatus;
        NTSTATUS status = ZwReadFile(Cache->CacheHandle, nullptr, nullptr, nullptr, &ioStatus,
                                     Buffer + SIZE_T(i) * NETDISK_CACHE_BLOCK, run * NETDISK_CACHE_BLOCK, &at, nullptr);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        // The blocks were written whole; a short read means the file lost them.
        if (ioStatus.Information != run * NETDISK_CACHE_BLOCK) {
            return STATUS_FILE_CORRUPT_ERROR;
        }
        i += run;
    }
    return STATUS_SUCCESS;
}

VOID NetCacheRelease(NETDISK_CACHE* Cache)
{
    if (Cache == nullptr) {
        return;
    }
    ZwClose(Cache->CacheHandle);
    for (SIZE_T i = 0; i < Cache->DirectoryEntries; ++i) {
        if (Cache->Directory[i] != nullptr) {
            ExFreePoolWithTag(Cache->Directory[i], VDISK_POOL_TAG);
        }
    }
    ExFreePoolWithTag(Cache->Directory, VDISK_POOL_TAG);
    ExFreePoolWithTag(Cache, VDISK_POOL_TAG);
}
