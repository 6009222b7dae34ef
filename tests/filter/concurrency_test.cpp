// Key changes racing with transfers: every transfer must be transformed
// wholly under one key, never half under the old and half under the new,
// and never under a key that was just cleared.
#include <atomic>
#include <string>
#include <thread>

#include "sys/crypt_ioctl.h"
#include "tests/filter/filter_fixture.h"

namespace tarn::test {
namespace {

const Key kKeyA = KeyFromText("first key");
const Key kKeyB = KeyFromText("second key");

constexpr ULONG kTransfer = 65536;
constexpr int kRounds = 40;

class KeyRaceTest : public FilterTest {
public:
    void SetUp() override
    {
        FilterTest::SetUp();
        StoreEncrypted(kKeyA, Pattern(4 * kTransfer, 30));
        Unlock(kKeyA);
        Lower().SetCompletion(FakeLowerDevice::Completion::Pend);
    }

    // Alternates the keys (and, when asked, clears the key) until stop.
    std::thread KeySetter(std::atomic<bool>& stop, bool withClear)
    {
        return std::thread([this, &stop, withClear] {
            for (unsigned i = 0; !stop; ++i) {
                if (withClear && i % 3 == 2) {
                    EXPECT_EQ(Control(IOCTL_CRYPT_CLEAR_KEY).status, STATUS_SUCCESS);
                } else {
                    EXPECT_EQ(SetKey(i % 2 ? kKeyB : kKeyA).status, STATUS_SUCCESS);
                }
                std::this_thread::yield();
            }
        });
    }
};

TEST_F(KeyRaceTest, ReadsAreDecryptedWhollyUnderOneKey)
{
    const std::vector<uint8_t> stored = Lower().Peek(kTransfer, kTransfer);
    const std::vector<uint8_t> underA = ReadForm(kKeyA, kTransfer, stored);
    const std::vector<uint8_t> underB = ReadForm(kKeyB, kTransfer, stored);

    std::atomic<bool> stop{false};
    std::atomic<int> mixed{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            std::vector<uint8_t> buffer(kTransfer);
            for (int i = 0; i < kRounds; ++i) {
                ASSERT_EQ(SendRead(Filter(), kTransfer, buffer.data(), kTransfer).status, STATUS_SUCCESS);
                if (buffer != underA && buffer != underB) {
                    ++mixed;
                }
            }
        });
    }
    std::thread setter = KeySetter(stop, false);
    for (auto& reader : readers) {
        reader.join();
    }
    stop = true;
    setter.join();
    EXPECT_EQ(mixed.load(), 0) << "a key change landed inside a transfer";
}

// With the key also being cleared, a write must either be refused or be
// stored wholly under one of the keys, each writer on its own region.
TEST_F(KeyRaceTest, WritesAreEncryptedWhollyUnderOneKeyOrRefused)
{
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::atomic<int> refused{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < 3; ++w) {
        writers.emplace_back([&, w] {
            const int64_t offset = static_cast<int64_t>(w + 1) * kTransfer;
            for (int i = 0; i < kRounds; ++i) {
                const std::vector<uint8_t> plain = Pattern(kTransfer, static_cast<uint32_t>(w * 1000 + i));
                std::vector<uint8_t> buffer = plain;
                const NTSTATUS status = SendWrite(Filter(), offset, buffer.data(), kTransfer).status;
                if (buffer != plain) {
                    ++bad;
                }
                if (status == STATUS_ACCESS_DENIED) {
                    ++refused;
                    continue;
                }
                ASSERT_EQ(status, STATUS_SUCCESS);
                const std::vector<uint8_t> stored = Lower().Peek(offset, kTransfer);
                if (stored != StoredForm(kKeyA, offset, plain) && stored != StoredForm(kKeyB, offset, plain)) {
                    ++bad;
                }
            }
        });
    }
    std::thread setter = KeySetter(stop, true);
    for (auto& writer : writers) {
        writer.join();
    }
    stop = true;
    setter.join();
    EXPECT_EQ(bad.load(), 0);
    RecordProperty("refused", refused.load());
}

}  // namespace
}  // namespace tarn::test
