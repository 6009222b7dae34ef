// The transform itself: what a caller reads from and what lands on an
// encrypted device, checked against OpenSSL, and what happens when the
// buffer, the pool or the lower device says no.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/nt/testing.h"
#include "tests/filter/filter_fixture.h"

namespace tarn::test {
namespace {

const Key kKey = KeyFromText("a key of thirty-two bytes, or so");

using Completion = FakeLowerDevice::Completion;

std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, size_t from, size_t length)
{
    return std::vector<uint8_t>(v.begin() + from, v.begin() + from + length);
}

// 128 KiB of plaintext whose unit 0 ends in a boot signature, stored
// encrypted; the device is Unlocked.
class UnlockedTest : public FilterTest {
public:
    void SetUp() override
    {
        FilterTest::SetUp();
        plain_ = Pattern(128 * 1024, 42);
        plain_[510] = 0x55;
        plain_[511] = 0xAA;
        StoreEncrypted(kKey, plain_);
        Unlock(kKey);
        Lower().ClearRequests();
    }

protected:
    std::vector<uint8_t> plain_;
};

// The lower device keeps its sectors in a real file.
class FileBackedUnlockedTest : public UnlockedTest {
protected:
    FakeLowerDevice::Options LowerOptions() const override
    {
        FakeLowerDevice::Options options = UnlockedTest::LowerOptions();
        options.backingFile = path_;
        return options;
    }
    void TearDown() override
    {
        UnlockedTest::TearDown();
        ::unlink(path_.c_str());
    }

    std::string path_ = ::testing::TempDir() + "tarn-filter-" + std::to_string(::getpid()) + ".img";
};

TEST_F(UnlockedTest, ReadDecryptsEveryUnitAndUnitZeroOnlyAtDeviceOffsetZero)
{
    for (Completion completion : {Completion::Immediate, Completion::Pend}) {
        Lower().SetCompletion(completion);
        const std::vector<uint8_t> stored = Lower().Peek(0, 64 * 1024);

        // Unit 0 through the fixed key with 0x55 0xAA restored, the other 127
        // units through the user key: exactly what OpenSSL makes of them.
        const std::vector<uint8_t> first = Read(0, 64 * 1024);
        EXPECT_EQ(first, ReadForm(kKey, 0, stored));
        EXPECT_EQ(first, Slice(plain_, 0, 64 * 1024));
        EXPECT_EQ(first[510], 0x55);
        EXPECT_EQ(first[511], 0xAA);

        // Transfers that do not start at 0 never get the unit-0 treatment,
        // not even for their first unit.
        EXPECT_EQ(Read(4096, 2048), Slice(plain_, 4096, 2048));
        EXPECT_EQ(Read(512, 512), Slice(plain_, 512, 512));
    }
}

// After the write returns the caller's buffer holds exactly what it supplied,
// also when the lower device failed or completed on another thread; the
// stored bytes are OpenSSL's ciphertext, or untouched after a failure.
TEST_F(FileBackedUnlockedTest, WriteStoresCiphertextAndGivesTheCallerItsPlaintextBack)
{
    struct Case {
        int64_t offset;
        ULONG length;
        Completion completion;
        NTSTATUS lowerStatus;
    };
    const Case cases[] = {
        {0, 512, Completion::Immediate, STATUS_SUCCESS},
        {0, 65536, Completion::Pend, STATUS_SUCCESS},
        {8192, 4096, Completion::Immediate, STATUS_SUCCESS},
        {8192, 4096, Completion::Pend, STATUS_SUCCESS},
        {0, 4096, Completion::Immediate, STATUS_DEVICE_DATA_ERROR},
        {65536, 2048, Completion::Pend, STATUS_IO_DEVICE_ERROR},
    };
    uint32_t seed = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE("offset " + std::to_string(c.offset) + " length " + std::to_string(c.length));
        Lower().SetCompletion(c.completion);
        Lower().FailWith(IRP_MJ_WRITE, c.lowerStatus);

        const std::vector<uint8_t> before = Lower().Peek(c.offset, c.length);
        const std::vector<uint8_t> supplied = Pattern(c.length, ++seed);
        std::vector<uint8_t> buffer = supplied;
        EXPECT_EQ(Write(c.offset, buffer).status, c.lowerStatus);
        EXPECT_EQ(buffer, supplied) << "the caller's buffer was changed";

        const std::vector<uint8_t> after = Lower().Peek(c.offset, c.length);
        if (NT_SUCCESS(c.lowerStatus)) {
            EXPECT_EQ(after, StoredForm(kKey, c.offset, supplied));
            std::vector<uint8_t> expected = supplied;
            if (c.offset == 0) {
                expected[510] = 0x55;  // what a reader of unit 0 sees
                expected[511] = 0xAA;
            }
            EXPECT_EQ(Read(c.offset, c.length), expected);
        } else {
            EXPECT_EQ(after, before);
        }
    }
    Lower().FailWith(IRP_MJ_WRITE, STATUS_SUCCESS);
}

TEST_F(UnlockedTest, UnitZeroWrittenAndReadBackKeepsItsBootSignature)
{
    std::vector<uint8_t> unit = Pattern(512, 9);
    unit[510] = 0x55;
    unit[511] = 0xAA;
    std::vector<uint8_t> buffer = unit;
    ASSERT_EQ(Write(0, buffer).status, STATUS_SUCCESS);

    EXPECT_EQ(Read(0, 512), unit);
    // On the medium, block 31 is under the fixed key and ends in the marker.
    const std::vector<uint8_t> block31 = EcbDecrypt(MarkerKey(), Slice(Lower().Peek(0, 512), 496, 16));
    EXPECT_EQ(block31[14], 0x51);
    EXPECT_EQ(block31[15], 0x4D);
}

TEST_F(FilterTest, WritesToLockedDeviceAreRefusedBeforeReachingTheLowerDevice)
{
    StoreEncrypted(kKey, Pattern(8192, 3));
    Read(0, 512);
    ASSERT_TRUE(Encrypted() && !KeyLoaded());
    const std::vector<uint8_t> stored = Lower().Peek(0, 8192);
    Lower().ClearRequests();

    for (int64_t offset : {0, 4096}) {
        std::vector<uint8_t> buffer = Pattern(4096, 4);
        EXPECT_EQ(Write(offset, buffer).status, STATUS_ACCESS_DENIED);
    }
    EXPECT_EQ(Lower().Count(IRP_MJ_WRITE), 0u);
    EXPECT_EQ(Lower().Peek(0, 8192), stored);
}

TEST_F(FilterTest, PlainAndPreparedDevicesStoreWritesUnencrypted)
{
    for (bool prepared : {false, true}) {
        SCOPED_TRACE(prepared ? "Prepared" : "Plain");
        if (prepared) {
            ASSERT_EQ(SetKey(kKey).status, STATUS_SUCCESS);
        }
        for (int64_t offset : {0, 1 << 20}) {
            const std::vector<uint8_t> supplied = Pattern(4096, static_cast<uint32_t>(offset) + prepared);
            std::vector<uint8_t> buffer = supplied;
            EXPECT_EQ(Write(offset, buffer).status, STATUS_SUCCESS);
            EXPECT_EQ(Lower().Peek(offset, 4096), supplied);
            EXPECT_EQ(Read(offset, 4096), supplied);
        }
    }
}

// A buffer that cannot be mapped, or a missing buffer, fails the request
// before the lower device sees it: a read would otherwise hand ciphertext to
// the caller, a write would store plaintext.
TEST_F(UnlockedTest, UnmappableBufferFailsWithoutTouchingTheDevice)
{
    const std::vector<uint8_t> stored = Lower().Peek(0, 8192);
    for (BufferMapping mapping : {BufferMapping::Unmapped, BufferMapping::None}) {
        for (int64_t offset : {0, 4096}) {
            std::vector<uint8_t> buffer = Pattern(4096, 5);
            const std::vector<uint8_t> supplied = buffer;
            if (mapping == BufferMapping::Unmapped) {
                NtMdlFailMapping(2);
            }
            EXPECT_EQ(SendRead(Filter(), offset, buffer.data(), 4096, mapping).status, STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(SendWrite(Filter(), offset, buffer.data(), 4096, mapping).status,
                      STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(buffer, supplied);
            NtResetFaults();
        }
    }
    EXPECT_EQ(Lower().Count(IRP_MJ_READ) + Lower().Count(IRP_MJ_WRITE), 0u);
    EXPECT_EQ(Lower().Peek(0, 8192), stored);

    // A mappable buffer that is not mapped yet works.
    std::vector<uint8_t> buffer(4096);
    EXPECT_EQ(SendRead(Filter(), 4096, buffer.data(), 4096, BufferMapping::Unmapped).status, STATUS_SUCCESS);
    EXPECT_EQ(buffer, Slice(plain_, 4096, 4096));
}

TEST_F(UnlockedTest, WriteWithoutPoolForThePlaintextCopyWritesNothing)
{
    const std::vector<uint8_t> stored = Lower().Peek(0, 8192);
    std::vector<uint8_t> buffer = Pattern(8192, 6);
    const std::vector<uint8_t> supplied = buffer;
    NtPoolFailAllocation(FILTER_DATA_TAG, 1);
    EXPECT_EQ(Write(0, buffer).status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(buffer, supplied);
    EXPECT_EQ(Lower().Count(IRP_MJ_WRITE), 0u);
    EXPECT_EQ(Lower().Peek(0, 8192), stored);
}

// Lengths that are not whole units: a read transforms the whole units and
// never touches a byte past Length (the buffers are exactly Length long, so
// the sanitizer build sees any overrun); a write that cannot be encrypted
// whole is refused instead of putting plaintext or misaligned ciphertext on
// the device.
TEST_F(UnlockedTest, PartialUnitsNeverReachBeyondLengthNorStorePlaintext)
{
    for (ULONG length : {100u, 700u, 1000u}) {
        SCOPED_TRACE("length " + std::to_string(length));
        std::vector<uint8_t> buffer(length);
        ASSERT_EQ(SendRead(Filter(), 0, buffer.data(), length).status, STATUS_SUCCESS);
        if (length >= 512) {
            EXPECT_EQ(Slice(buffer, 0, 512), Slice(plain_, 0, 512));
        }
    }

    const std::vector<uint8_t> stored = Lower().Peek(0, 8192);
    struct Case {
        int64_t offset;
        ULONG length;
    };
    for (const Case& c : {Case{0, 700}, Case{4096, 100}, Case{256, 512}, Case{4104, 1024}}) {
        std::vector<uint8_t> buffer = Pattern(c.length, 8);
        EXPECT_EQ(Write(c.offset, buffer).status, STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(Lower().Count(IRP_MJ_WRITE), 0u);
    EXPECT_EQ(Lower().Peek(0, 8192), stored);
}

}  // namespace
}  // namespace tarn::test
