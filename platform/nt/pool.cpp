// Pool memory. Each block carries a small header with its tag and size so
// frees can be checked and every tag's live blocks counted; tests read the
// counts and inject allocation faults through testing.h.
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "private/pool.h"
#include "private/protected.h"
#include "testing.h"
#include "wdm.h"

namespace {

constexpr ULONG kLiveMagic = 0x4C4F4F50;  // "POOL"
constexpr ULONG kFreeMagic = 0x45455246;  // "FREE"
constexpr UCHAR kUninitializedFill = 0xCD;
constexpr ULONG kBadPoolCaller = 0xC2;

struct alignas(16) PoolHeader {
  ULONG Magic;
  ULONG Tag;
  SIZE_T Size;
};
static_assert(sizeof(PoolHeader) == 16);

struct TagCounts {
  ULONG Blocks = 0;
  SIZE_T Bytes = 0;
};

struct PoolState {
  std::unordered_map<ULONG, TagCounts> Live;
  std::unordered_map<ULONG, ULONG> FailCountdown;  // tag -> allocations until the failing one
  ULONG TotalBlocks = 0;
};

tarn::nt::Protected<PoolState>& Pool() {
  static auto* pool = new tarn::nt::Protected<PoolState>();  // outlives static destructors
  return *pool;
}

// Decides whether this allocation fails by injection, and counts it if not.
bool Admit(ULONG Tag, SIZE_T Size) {
  auto pool = Pool().lock();
  auto it = pool->FailCountdown.find(Tag);
  if (it != pool->FailCountdown.end() && --it->second == 0) {
    pool->FailCountdown.erase(it);
    return false;
  }
  auto& counts = pool->Live[Tag];
  counts.Blocks++;
  counts.Bytes += Size;
  pool->TotalBlocks++;
  return true;
}

void Forget(ULONG Tag, SIZE_T Size) {
  auto pool = Pool().lock();
  auto& counts = pool->Live[Tag];
  counts.Blocks--;
  counts.Bytes -= Size;
  pool->TotalBlocks--;
}

// Blocks start on 64 bytes, their header just before them. Copies between a
// block and a page-aligned buffer then never have the destination 1 to 15
// bytes past the source within a page, which makes rep movsb (the kernel's
// and the C library's) ten times slower on some processors; a raw write's
// data 8 bytes into its block is such a copy on a 16-byte boundary.
constexpr SIZE_T kBlockAlign = 64;

// Fills from byte `From` on: the bytes before it are the caller's to write.
PVOID Allocate(SIZE_T NumberOfBytes, ULONG Tag, bool Zero, SIZE_T From = 0) {
  if (NumberOfBytes > SIZE_MAX - 2 * kBlockAlign) return nullptr;
  if (!Admit(Tag, NumberOfBytes)) return nullptr;
  const SIZE_T rounded = (NumberOfBytes + kBlockAlign - 1) / kBlockAlign * kBlockAlign;
  auto* base = static_cast<UCHAR*>(aligned_alloc(kBlockAlign, kBlockAlign + rounded));
  if (base == nullptr) {
    Forget(Tag, NumberOfBytes);
    return nullptr;
  }
  auto* h = reinterpret_cast<PoolHeader*>(base + kBlockAlign) - 1;
  h->Magic = kLiveMagic;
  h->Tag = Tag;
  h->Size = NumberOfBytes;
  // Uninitialised pool gets a visible pattern so reads of it are repeatable.
  if (From < NumberOfBytes)
    memset(reinterpret_cast<UCHAR*>(h + 1) + From, Zero ? 0 : kUninitializedFill, NumberOfBytes - From);
  return h + 1;
}

void Free(PVOID P, ULONG Tag, bool CheckTag) {
  if (P == nullptr || (reinterpret_cast<ULONG_PTR>(P) & 15) != 0) KeBugCheckEx(kBadPoolCaller, 0x46, (ULONG_PTR)P, 0, 0);
  auto* h = static_cast<PoolHeader*>(P) - 1;
  if (h->Magic == kFreeMagic) KeBugCheckEx(kBadPoolCaller, 0x7, 0, (ULONG_PTR)P, 0);  // double free
  if (h->Magic != kLiveMagic) KeBugCheckEx(kBadPoolCaller, 0x46, (ULONG_PTR)P, 0, 0);
  if (CheckTag && h->Tag != Tag) KeBugCheckEx(kBadPoolCaller, 0xA, (ULONG_PTR)P, Tag, h->Tag);
  h->Magic = kFreeMagic;
  Forget(h->Tag, h->Size);
  free(static_cast<UCHAR*>(P) - kBlockAlign);
}

}  // namespace

PVOID tarn::nt::AllocatePoolCopyOf(SIZE_T Length, ULONG Tag, const void* Source, SIZE_T CopyLength) {
  CopyLength = CopyLength < Length ? CopyLength : Length;
  PVOID p = Allocate(Length, Tag, false, CopyLength);
  if (p != nullptr && CopyLength != 0) memcpy(p, Source, CopyLength);
  return p;
}

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  (void)PoolType;
  return Allocate(NumberOfBytes, Tag, false);
}

extern "C" PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag) {
  PVOID p = Allocate(NumberOfBytes, Tag, (Flags & POOL_FLAG_UNINITIALIZED) == 0);
  if (p == nullptr && (Flags & POOL_FLAG_RAISE_ON_FAILURE))
    KeBugCheckEx(0x41 /* MUST_SUCCEED_POOL_EMPTY */, NumberOfBytes, 0, 0, 0);
  return p;
}

extern "C" PVOID ExAllocatePoolZero(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  (void)PoolType;
  return Allocate(NumberOfBytes, Tag, true);
}

extern "C" VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { Free(P, Tag, true); }

extern "C" VOID ExFreePool(PVOID P) { Free(P, 0, false); }

extern "C" ULONG NtPoolOutstanding(ULONG Tag) {
  auto pool = Pool().lock();
  auto it = pool->Live.find(Tag);
  return it == pool->Live.end() ? 0 : it->second.Blocks;
}

extern "C" SIZE_T NtPoolOutstandingBytes(ULONG Tag) {
  auto pool = Pool().lock();
  auto it = pool->Live.find(Tag);
  return it == pool->Live.end() ? 0 : it->second.Bytes;
}

extern "C" ULONG NtPoolOutstandingTotal(void) { return Pool().lock()->TotalBlocks; }

extern "C" VOID NtPoolFailAllocation(ULONG Tag, ULONG Nth) {
  auto pool = Pool().lock();
  if (Nth == 0)
    pool->FailCountdown.erase(Tag);
  else
    pool->FailCountdown[Tag] = Nth;
}

VOID NtMdlResetFaults();

extern "C" VOID NtResetFaults(void) {
  Pool().lock()->FailCountdown.clear();
  NtMdlResetFaults();
}
