// Plug and Play: removal waits for requests in flight, start picks up the
// removable-media characteristic, cancel requests restore only what they
// should.
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/nt/testing.h"
#include "tests/filter/filter_fixture.h"

namespace tarn::test {
namespace {

const Key kKey = KeyFromText("pnp");

using Completion = FakeLowerDevice::Completion;

// The filter must not leave the stack (nor let the lower device see the
// removal) while a request still holds its remove lock, and it must be gone
// once the removal returns.
TEST_F(FilterTest, RemovalWaitsUntilTheLastRequestInFlightHasFinished)
{
    const std::vector<uint8_t> plain = Pattern(65536, 20);
    StoreEncrypted(kKey, plain);
    Unlock(kKey);
    Lower().SetCompletion(Completion::Pend);
    Lower().Hold();
    Lower().ClearRequests();

    // Two transformed reads: one at the lower device, one waiting for
    // CryptLock behind it. Both hold the remove lock.
    constexpr int kReaders = 2;
    std::vector<std::vector<uint8_t>> buffers(kReaders, std::vector<uint8_t>(4096));
    std::vector<NTSTATUS> statuses(kReaders, STATUS_PENDING);
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i) {
        readers.emplace_back([&, i] { statuses[i] = SendRead(Filter(), 4096, buffers[i].data(), 4096).status; });
    }
    // Both hold the remove lock (beside its initial bias) once they are in.
    while (Lower().PendingCount() == 0 ||
           __atomic_load_n(&Extension()->RemoveLock.Common.IoCount, __ATOMIC_SEQ_CST) < 1 + kReaders) {
        std::this_thread::yield();
    }

    std::atomic<bool> removed{false};
    std::thread remover([&] {
        EXPECT_EQ(Remove().status, STATUS_SUCCESS);
        removed = true;
    });
    // Wait until removal has begun (the lock turns new holders away), or
    // until a removal that does not wait has already gone down the stack.
    while (Lower().Count(IRP_MJ_PNP) == 0 &&
           !__atomic_load_n(&Extension()->RemoveLock.Common.Removed, __ATOMIC_SEQ_CST)) {
        std::this_thread::yield();
    }
    if (!removed) {
        int tag = 0;
        const NTSTATUS status = IoAcquireRemoveLock(&Extension()->RemoveLock, &tag);
        EXPECT_EQ(status, STATUS_DELETE_PENDING);
        if (NT_SUCCESS(status)) {
            IoReleaseRemoveLock(&Extension()->RemoveLock, &tag);
        }
        // Nor may a key arrive for a device that is going away.
        EXPECT_EQ(SetKey(kKey).status, STATUS_DELETE_PENDING);
    }
    // Give a removal that does not wait the chance to run ahead.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(removed.load());
    EXPECT_EQ(Lower().Count(IRP_MJ_PNP), 0u) << "the removal overtook a request in flight";
    EXPECT_EQ(Lower().Device()->AttachedDevice, Filter());

    Lower().Release();
    for (auto& reader : readers) {
        reader.join();
    }
    remover.join();
    EXPECT_TRUE(removed.load());
    for (int i = 0; i < kReaders; ++i) {
        EXPECT_EQ(statuses[i], STATUS_SUCCESS);
        EXPECT_EQ(buffers[i], std::vector<uint8_t>(plain.begin() + 4096, plain.begin() + 8192));
    }
    const auto seen = Lower().Requests();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().major, IRP_MJ_PNP);
    EXPECT_EQ(seen.back().minor, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(Lower().Device()->AttachedDevice, nullptr) << "the filter is still attached";
}

class UnstartedFilterTest : public FilterTest {
protected:
    bool StartInSetUp() const override { return false; }
};

TEST_F(UnstartedFilterTest, StartCopiesRemovableMediaOnlyOnSuccess)
{
    // The medium turned out removable after the filter was added.
    Lower().Device()->Characteristics |= FILE_REMOVABLE_MEDIA;
    Filter()->Characteristics &= ~FILE_REMOVABLE_MEDIA;

    Lower().FailWith(IRP_MJ_PNP, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(SendPnp(Filter(), IRP_MN_START_DEVICE).status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Filter()->Characteristics & FILE_REMOVABLE_MEDIA, 0u);
    EXPECT_EQ(Extension()->PnpState, PnpNotStarted);

    Lower().FailWith(IRP_MJ_PNP, STATUS_SUCCESS);
    Lower().SetCompletion(Completion::Pend);
    EXPECT_EQ(SendPnp(Filter(), IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    EXPECT_NE(Filter()->Characteristics & FILE_REMOVABLE_MEDIA, 0u);
    EXPECT_EQ(Extension()->PnpState, PnpStarted);
}

// Each cancel undoes only its own query: in any other state it changes
// nothing.
TEST_F(FilterTest, CancelRequestsRestoreOnlyTheirOwnPendingState)
{
    struct Case {
        std::vector<UCHAR> before;  // minor codes that set the state up
        UCHAR cancel;
        FILTER_PNP_STATE expected;
    };
    const Case cases[] = {
        {{IRP_MN_QUERY_STOP_DEVICE}, IRP_MN_CANCEL_STOP_DEVICE, PnpStarted},
        {{}, IRP_MN_CANCEL_STOP_DEVICE, PnpStarted},
        {{IRP_MN_QUERY_REMOVE_DEVICE}, IRP_MN_CANCEL_STOP_DEVICE, PnpRemovePending},
        {{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}, IRP_MN_CANCEL_STOP_DEVICE, PnpStopped},
        {{IRP_MN_SURPRISE_REMOVAL}, IRP_MN_CANCEL_STOP_DEVICE, PnpSurpriseRemovePending},
        {{IRP_MN_QUERY_REMOVE_DEVICE}, IRP_MN_CANCEL_REMOVE_DEVICE, PnpStarted},
        {{}, IRP_MN_CANCEL_REMOVE_DEVICE, PnpStarted},
        {{IRP_MN_QUERY_STOP_DEVICE}, IRP_MN_CANCEL_REMOVE_DEVICE, PnpStopPending},
        {{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}, IRP_MN_CANCEL_REMOVE_DEVICE, PnpStopped},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("cancel " + std::to_string(c.cancel) + " after " + std::to_string(c.before.size()) + " steps");
        ASSERT_EQ(SendPnp(Filter(), IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
        for (UCHAR minor : c.before) {
            ASSERT_EQ(SendPnp(Filter(), minor).status, STATUS_SUCCESS);
        }
        EXPECT_EQ(SendPnp(Filter(), c.cancel).status, STATUS_SUCCESS);
        EXPECT_EQ(Extension()->PnpState, static_cast<ULONG>(c.expected));
    }
}

}  // namespace
}  // namespace tarn::test
