// Executive support: pool memory with tags, fast mutexes, interlocked lists.
#pragma once

#include "wdm_ke.h"

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  NonPagedPoolExecute = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  DontUseThisType = 3,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolCacheAlignedMustS = 6,
  MaxPoolType = 7,
  NonPagedPoolNx = 512,
  NonPagedPoolNxCacheAligned = 516,
} POOL_TYPE;

typedef ULONG64 POOL_FLAGS;
#define POOL_FLAG_USE_QUOTA 0x0000000000000001ULL
#define POOL_FLAG_UNINITIALIZED 0x0000000000000002ULL
#define POOL_FLAG_SESSION 0x0000000000000004ULL
#define POOL_FLAG_CACHE_ALIGNED 0x0000000000000008ULL
#define POOL_FLAG_RAISE_ON_FAILURE 0x0000000000000020ULL
#define POOL_FLAG_NON_PAGED 0x0000000000000040ULL
#define POOL_FLAG_NON_PAGED_EXECUTE 0x0000000000000080ULL
#define POOL_FLAG_PAGED 0x0000000000000100ULL

// Fast mutex: not recursive, released by the thread that acquired it, taken
// at IRQL <= APC_LEVEL and held at APC_LEVEL. Acquiring it twice on one
// thread is a driver fault and stops the system (KeBugCheckEx) instead of
// hanging.
typedef struct _FAST_MUTEX {
  volatile LONG Count;  // 1 free, 0 owned
  PKTHREAD Owner;
  ULONG Contention;
  KIRQL OldIrql;
  pthread_mutex_t HostMutex;
} FAST_MUTEX, *PFAST_MUTEX, KGUARDED_MUTEX, *PKGUARDED_MUTEX;

#ifdef __cplusplus
extern "C" {
#endif

// Pool. Every block is counted under its tag until freed (see testing.h).
// ExAllocatePoolWithTag leaves the block's contents undefined (filled with a
// pattern here); ExAllocatePool2 zeroes it unless POOL_FLAG_UNINITIALIZED.
// Both return NULL when the memory (or an injected fault) says no.
PVOID ExAllocatePoolWithTag(_In_ POOL_TYPE PoolType, _In_ SIZE_T NumberOfBytes, _In_ ULONG Tag);
PVOID ExAllocatePool2(_In_ POOL_FLAGS Flags, _In_ SIZE_T NumberOfBytes, _In_ ULONG Tag);
PVOID ExAllocatePoolZero(_In_ POOL_TYPE PoolType, _In_ SIZE_T NumberOfBytes, _In_ ULONG Tag);
#define ExAllocatePool(type, size) ExAllocatePoolWithTag((type), (size), 'enoN')
// Freeing with a tag other than the allocation's, or a block that is not
// pool, stops the system (KeBugCheckEx BAD_POOL_CALLER).
VOID ExFreePoolWithTag(_In_ PVOID P, _In_ ULONG Tag);
VOID ExFreePool(_In_ PVOID P);

VOID ExInitializeFastMutex(_Out_ PFAST_MUTEX FastMutex);
VOID ExAcquireFastMutex(_Inout_ PFAST_MUTEX FastMutex);
VOID ExReleaseFastMutex(_Inout_ PFAST_MUTEX FastMutex);
BOOLEAN ExTryToAcquireFastMutex(_Inout_ PFAST_MUTEX FastMutex);
// The unsafe variants leave the IRQL alone.
VOID ExAcquireFastMutexUnsafe(_Inout_ PFAST_MUTEX FastMutex);
VOID ExReleaseFastMutexUnsafe(_Inout_ PFAST_MUTEX FastMutex);
#define KeInitializeGuardedMutex ExInitializeFastMutex
#define KeAcquireGuardedMutex ExAcquireFastMutex
#define KeReleaseGuardedMutex ExReleaseFastMutex

// List operations made atomic by the given spin lock. The insert routines
// return the previous first/last entry, NULL when the list was empty; the
// remove routine returns NULL on an empty list.
PLIST_ENTRY ExInterlockedInsertTailList(_Inout_ PLIST_ENTRY ListHead, _Inout_ PLIST_ENTRY ListEntry,
                                        _Inout_ PKSPIN_LOCK Lock);
PLIST_ENTRY ExInterlockedInsertHeadList(_Inout_ PLIST_ENTRY ListHead, _Inout_ PLIST_ENTRY ListEntry,
                                        _Inout_ PKSPIN_LOCK Lock);
PLIST_ENTRY ExInterlockedRemoveHeadList(_Inout_ PLIST_ENTRY ListHead, _Inout_ PKSPIN_LOCK Lock);

#ifdef __cplusplus
}
#endif
