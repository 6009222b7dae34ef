// Pool accounting per tag and fault injection.
#include <gtest/gtest.h>
#include <ntddk.h>

#include "platform/nt/testing.h"

namespace {

constexpr ULONG kTag = 0x206B6444;  // "Ddk " in memory
constexpr ULONG kOther = 0x6C694654;

TEST(Pool, CountsLiveBlocksAndBytesPerTag) {
  ULONG total = NtPoolOutstandingTotal();
  PVOID a = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
  PVOID b = ExAllocatePool2(POOL_FLAG_PAGED, 28, kTag);
  PVOID c = ExAllocatePoolWithTag(PagedPool, 7, kOther);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(NtPoolOutstanding(kTag), 2u);
  EXPECT_EQ(NtPoolOutstandingBytes(kTag), 128u);
  EXPECT_EQ(NtPoolOutstanding(kOther), 1u);
  EXPECT_EQ(NtPoolOutstandingTotal(), total + 3);
  ExFreePoolWithTag(a, kTag);
  ExFreePool(c);  // ExFreePool takes any tag
  EXPECT_EQ(NtPoolOutstanding(kTag), 1u);
  EXPECT_EQ(NtPoolOutstandingBytes(kTag), 28u);
  EXPECT_EQ(NtPoolOutstanding(kOther), 0u);
  ExFreePoolWithTag(b, kTag);
  EXPECT_EQ(NtPoolOutstandingTotal(), total);
}

TEST(Pool, AllocationsAreAlignedAndZeroedOnlyWhenAsked) {
  auto* raw = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 64, kTag));
  auto* zeroed = static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, kTag));
  auto* uninit = static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED | POOL_FLAG_UNINITIALIZED, 64, kTag));
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(raw) % 64, 0u);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(zeroed) % 64, 0u);
  bool rawZero = true, zero = true, uninitZero = true;
  for (int i = 0; i < 64; ++i) {
    rawZero &= raw[i] == 0;
    zero &= zeroed[i] == 0;
    uninitZero &= uninit[i] == 0;
  }
  // Uninitialised pool holds a pattern, so code that relies on zeroes shows.
  EXPECT_FALSE(rawZero);
  EXPECT_TRUE(zero);
  EXPECT_FALSE(uninitZero);
  ExFreePool(raw);
  ExFreePool(zeroed);
  ExFreePool(uninit);
}

TEST(Pool, InjectedFaultHitsExactlyTheNthAllocationOfThatTag) {
  NtPoolFailAllocation(kTag, 3);
  PVOID p1 = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  PVOID other = ExAllocatePoolWithTag(NonPagedPool, 8, kOther);  // other tags do not count
  PVOID p2 = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  PVOID p3 = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  PVOID p4 = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_NE(p1, nullptr);
  EXPECT_NE(other, nullptr);
  EXPECT_NE(p2, nullptr);
  EXPECT_EQ(p3, nullptr);
  EXPECT_NE(p4, nullptr) << "only one allocation fails";
  EXPECT_EQ(NtPoolOutstanding(kTag), 3u) << "a failed allocation is not counted";
  for (PVOID p : {p1, p2, p4}) ExFreePoolWithTag(p, kTag);
  ExFreePool(other);

  NtPoolFailAllocation(kTag, 1);
  NtPoolFailAllocation(kTag, 0);  // cancelled
  PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_NE(p, nullptr);
  ExFreePool(p);
  NtPoolFailAllocation(kTag, 1);
  NtResetFaults();
  p = ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, kTag);
  EXPECT_NE(p, nullptr);
  ExFreePool(p);
}

TEST(Pool, ImpossibleSizesFailInsteadOfWrapping) {
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, SIZE_MAX - 4, kTag), nullptr);
  EXPECT_EQ(NtPoolOutstanding(kTag), 0u);
}

TEST(PoolDeathTest, FreeingWithTheWrongTagStopsTheSystem) {
  PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_DEATH(ExFreePoolWithTag(p, kOther), "STOP: 0x000000C2");
  ExFreePool(p);
}

}  // namespace
