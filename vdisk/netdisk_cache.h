// The local write cache of a network disk: a temporary file that takes the
// disk's written 512-byte blocks, and a directory that says where each one
// is. Each directory entry covers 2048 disk blocks (1 MiB) and points to an
// 8 KiB table of u32 cache-file blocks (0 = not cached), allocated when its
// first block is written. Cache-file block b lives at byte b x 512; block 0
// is never used. The file is deleted when it is closed.
//
// Every block of every transfer is cached and overlaid, offset 0 included,
// so the disk always reads back what was written. Transfers must be whole
// blocks at block boundaries.
#pragma once

#include "vdisk/extension.h"

constexpr ULONG NETDISK_CACHE_BLOCK = 512;
constexpr ULONG NETDISK_CACHE_TABLE_ENTRIES = 2048;

// Largest disk the cache serves: its block numbers must fit the tables'
// u32 entries, and the directory stays at most 8 MiB.
constexpr LONGLONG NETDISK_CACHE_MAX_DISK = LONGLONG(1) << 40;

// The local cache record the extension's Cache points to.
// DirectoryEntries: beyond the record, the length of Directory.
struct NETDISK_CACHE {
    HANDLE CacheHandle;
    LONGLONG CacheDiskSize;
    ULONG BlockSize;
    ULONG NextBlock;
    PULONG* Directory;
    SIZE_T DirectoryEntries;
};

// Creates the cache file FileName (emptied if it exists) and the record.
// STATUS_NO_MEMORY when the record or the directory cannot be had (also for
// a disk beyond NETDISK_CACHE_MAX_DISK); otherwise the file system's status.
NTSTATUS NetCacheCreate(PUNICODE_STRING FileName, LONGLONG DiskSize, NETDISK_CACHE** Cache);
// Stores Length bytes of Data at disk Offset. A failure (no memory for a
// table, a failed file write) is returned: the blocks may then hold part of
// the data, as after any failed disk write.
NTSTATUS NetCacheWrite(NETDISK_CACHE* Cache, LONGLONG Offset, ULONG Length, const UCHAR* Data);
// Lays the cached blocks of [Offset, Offset + Length) over Buffer; blocks
// never written keep what Buffer held (the server's data).
NTSTATUS NetCacheOverlay(NETDISK_CACHE* Cache, LONGLONG Offset, ULONG Length, PUCHAR Buffer);
// Closes (and so deletes) the file and frees the tables, the directory and
// the record.
VOID NetCacheRelease(NETDISK_CACHE* Cache);
