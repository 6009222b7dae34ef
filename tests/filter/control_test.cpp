// The control interface: length checks and results of the five encryption
// codes, the raw write below the transform, the CD geometry probe, and codes
// that are none of the filter's business.
#include <cstring>
#include <string>

#include "platform/nt/ntddcdrm.h"
#include "sys/crypt_ioctl.h"
#include "tests/filter/filter_fixture.h"

namespace tarn::test {
namespace {

const Key kKey = KeyFromText("control interface key");

std::vector<uint8_t> RawWriteInput(int64_t offset, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> input(RAW_WRITE_HEADER_LENGTH + data.size());
    std::memcpy(input.data(), &offset, sizeof(offset));
    if (!data.empty()) {
        std::memcpy(input.data() + RAW_WRITE_HEADER_LENGTH, data.data(), data.size());
    }
    return input;
}

// Every length rule with its boundary on both sides: a failed check must
// report STATUS_INVALID_PARAMETER with Information 0, change no state and
// write nothing.
TEST_F(FilterTest, ControlCodesCheckLengthsAndReportInformation)
{
    struct Case {
        const char* name;
        ULONG code;
        size_t input;
        ULONG output;
        NTSTATUS status;
        ULONG_PTR information;
    };
    const Case cases[] = {
        {"query state, 3-byte output", IOCTL_CRYPT_QUERY_STATE, 0, 3, STATUS_INVALID_PARAMETER, 0},
        {"query state, no output", IOCTL_CRYPT_QUERY_STATE, 0, 0, STATUS_INVALID_PARAMETER, 0},
        {"query state, 4-byte output", IOCTL_CRYPT_QUERY_STATE, 0, 4, STATUS_SUCCESS, 4},
        {"query state, 16-byte output", IOCTL_CRYPT_QUERY_STATE, 0, 16, STATUS_SUCCESS, 4},
        {"set key, 31 bytes", IOCTL_CRYPT_SET_KEY, 31, 0, STATUS_INVALID_PARAMETER, 0},
        {"set key, 0 bytes", IOCTL_CRYPT_SET_KEY, 0, 0, STATUS_INVALID_PARAMETER, 0},
        {"set key, 32 bytes", IOCTL_CRYPT_SET_KEY, 32, 0, STATUS_SUCCESS, 0},
        {"set key, 64 bytes", IOCTL_CRYPT_SET_KEY, 64, 0, STATUS_SUCCESS, 0},
        {"clear key", IOCTL_CRYPT_CLEAR_KEY, 0, 0, STATUS_SUCCESS, 0},
        {"end encryption", IOCTL_CRYPT_END_ENCRYPTION, 0, 0, STATUS_SUCCESS, 0},
        {"raw write, 8 + 512", IOCTL_CRYPT_RAW_WRITE, 8 + 512, 0, STATUS_SUCCESS, 0},
        {"raw write, 8 + 65536", IOCTL_CRYPT_RAW_WRITE, 8 + 65536, 0, STATUS_SUCCESS, 0},
        {"raw write, 8 + 1536", IOCTL_CRYPT_RAW_WRITE, 8 + 1536, 0, STATUS_SUCCESS, 0},
        {"raw write, 8 + 511", IOCTL_CRYPT_RAW_WRITE, 8 + 511, 0, STATUS_INVALID_PARAMETER, 0},
        {"raw write, 8 + 513", IOCTL_CRYPT_RAW_WRITE, 8 + 513, 0, STATUS_INVALID_PARAMETER, 0},
        {"raw write, 8 + 65537", IOCTL_CRYPT_RAW_WRITE, 8 + 65537, 0, STATUS_INVALID_PARAMETER, 0},
        {"raw write, 8 + 66048", IOCTL_CRYPT_RAW_WRITE, 8 + 66048, 0, STATUS_INVALID_PARAMETER, 0},
        {"raw write, 8", IOCTL_CRYPT_RAW_WRITE, 8, 0, STATUS_INVALID_PARAMETER, 0},
        {"raw write, 0", IOCTL_CRYPT_RAW_WRITE, 0, 0, STATUS_INVALID_PARAMETER, 0},
        {"raw write, 7", IOCTL_CRYPT_RAW_WRITE, 7, 0, STATUS_INVALID_PARAMETER, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Control(IOCTL_CRYPT_END_ENCRYPTION).status, STATUS_SUCCESS);
        Lower().ClearRequests();

        std::vector<uint8_t> input(c.input, 0);
        if (c.code == IOCTL_CRYPT_RAW_WRITE && c.input >= RAW_WRITE_HEADER_LENGTH) {
            input = RawWriteInput(4096, Pattern(c.input - RAW_WRITE_HEADER_LENGTH, 1));
        }
        std::vector<uint8_t> output;
        const IrpResult result = SendControl(Filter(), c.code, input, &output, c.output);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.information, c.information);
        if (!NT_SUCCESS(c.status)) {
            EXPECT_FALSE(Encrypted() || KeyLoaded());
            EXPECT_EQ(Lower().Count(IRP_MJ_WRITE), 0u);
        }
        EXPECT_EQ(Lower().Count(IRP_MJ_DEVICE_CONTROL), 0u) << "answered here, never forwarded";
    }
}

TEST_F(FilterTest, QueryStateReportsTheMarkerOnly)
{
    auto query = [this] {
        std::vector<uint8_t> output;
        const IrpResult result = SendControl(Filter(), IOCTL_CRYPT_QUERY_STATE, {}, &output, 4);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, 4u);
        return output;
    };
    EXPECT_EQ(query(), (std::vector<uint8_t>{0, 0, 0, 0}));
    ASSERT_EQ(SetKey(kKey).status, STATUS_SUCCESS);
    EXPECT_EQ(query(), (std::vector<uint8_t>{0, 0, 0, 0})) << "a key alone is not the marker";
    StoreEncrypted(kKey, Pattern(512, 2));
    Read(0, 512);
    EXPECT_EQ(query(), (std::vector<uint8_t>{1, 0, 0, 0}));
}

// Only the first 32 input bytes are the key, and the key does not stay behind
// in the request's buffer.
TEST_F(FilterTest, SetKeyTakesTheFirst32BytesAndLeavesNoCopy)
{
    const std::vector<uint8_t> plain = Pattern(4096, 12);
    StoreEncrypted(kKey, plain);
    Read(0, 512);

    std::vector<uint8_t> input(kKey.begin(), kKey.end());
    for (int i = 0; i < 32; ++i) {
        input.push_back(static_cast<uint8_t>(0xA0 + i));
    }
    std::vector<uint8_t> systemBuffer;
    ASSERT_EQ(SendControl(Filter(), IOCTL_CRYPT_SET_KEY, input, nullptr, 0, false, &systemBuffer).status,
              STATUS_SUCCESS);
    EXPECT_EQ(systemBuffer, std::vector<uint8_t>(64, 0));
    EXPECT_EQ(Read(4096 - 1024, 1024), std::vector<uint8_t>(plain.end() - 1024, plain.end()));
}

// The raw write stores the caller's bytes exactly, at the given offset, even
// on an Unlocked device and even for unit 0 (no marker, no encryption), and
// reports the lower device's failures.
TEST_F(FilterTest, RawWriteStoresBytesUntouched)
{
    StoreEncrypted(kKey, Pattern(8192, 13));
    Unlock(kKey);

    for (auto completion : {FakeLowerDevice::Completion::Immediate, FakeLowerDevice::Completion::Pend}) {
        Lower().SetCompletion(completion);
        for (int64_t offset : {0, 4096, 1 << 20}) {
            SCOPED_TRACE("offset " + std::to_string(offset));
            const std::vector<uint8_t> data = Pattern(1024, static_cast<uint32_t>(offset) + 1);
            EXPECT_EQ(Control(IOCTL_CRYPT_RAW_WRITE, RawWriteInput(offset, data)).status, STATUS_SUCCESS);
            EXPECT_EQ(Lower().Peek(offset, 1024), data);
        }
    }
    EXPECT_TRUE(Encrypted() && KeyLoaded());

    const std::vector<uint8_t> before = Lower().Peek(0, 1024);
    Lower().FailWith(IRP_MJ_WRITE, STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(Control(IOCTL_CRYPT_RAW_WRITE, RawWriteInput(0, Pattern(1024, 77))).status,
              STATUS_MEDIA_WRITE_PROTECTED);
    Lower().FailWith(IRP_MJ_WRITE, STATUS_SUCCESS);
    // Beyond the device: the lower device's answer comes back.
    EXPECT_EQ(Control(IOCTL_CRYPT_RAW_WRITE, RawWriteInput(2 << 20, Pattern(512, 78))).status,
              STATUS_INVALID_PARAMETER);
    // A negative offset is no device offset.
    Lower().ClearRequests();
    EXPECT_EQ(Control(IOCTL_CRYPT_RAW_WRITE, RawWriteInput(-1, Pattern(512, 79))).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Lower().Count(IRP_MJ_WRITE), 0u);
    EXPECT_EQ(Lower().Peek(0, 1024), before);
}

// The geometry query itself always reaches the lower device unchanged and its
// answer comes back, whatever the probe found.
TEST_F(FilterTest, CdGeometryQueryIsForwardedAfterItsProbe)
{
    Lower().SetControlAnswer(STATUS_SUCCESS, 24);
    std::vector<uint8_t> output;
    IrpResult result = SendControl(Filter(), IOCTL_CDROM_GET_DRIVE_GEOMETRY, {}, &output, 24);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 24u);

    Lower().SetControlAnswer(STATUS_NO_MEDIA_IN_DEVICE, 0);
    result = SendControl(Filter(), IOCTL_CDROM_GET_DRIVE_GEOMETRY, {}, &output, 24);
    EXPECT_EQ(result.status, STATUS_NO_MEDIA_IN_DEVICE);

    const auto seen = Lower().Requests();
    ASSERT_EQ(seen.size(), 4u);
    for (size_t i = 0; i < seen.size(); i += 2) {
        EXPECT_EQ(seen[i].major, IRP_MJ_READ);
        EXPECT_EQ(seen[i].offset, 0);
        EXPECT_EQ(seen[i].length, 2048u);
        EXPECT_EQ(seen[i + 1].major, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(seen[i + 1].ioctl, static_cast<ULONG>(IOCTL_CDROM_GET_DRIVE_GEOMETRY));
    }
}

TEST_F(FilterTest, CodesThatAreNotTheFiltersReachTheLowerDeviceUnchanged)
{
    Lower().SetControlAnswer(STATUS_BUFFER_TOO_SMALL, 0);
    for (bool internal : {false, true}) {
        for (ULONG code : {static_cast<ULONG>(IOCTL_DISK_GET_DRIVE_GEOMETRY), 0x008A6008u, 0x00560000u}) {
            Lower().ClearRequests();
            EXPECT_EQ(SendControl(Filter(), code, {1, 2, 3}, nullptr, 0, internal).status, STATUS_BUFFER_TOO_SMALL);
            const auto seen = Lower().Requests();
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_EQ(seen[0].major, internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL);
            EXPECT_EQ(seen[0].ioctl, code);
        }
    }
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_SHUTDOWN, IRP_MJ_CLEANUP}) {
        Lower().ClearRequests();
        EXPECT_EQ(SendOther(Filter(), major).status, STATUS_SUCCESS);
        EXPECT_EQ(Lower().Count(major), 1u);
    }
    Lower().ClearRequests();
    EXPECT_EQ(SendPower(Filter(), IRP_MN_SET_POWER).status, STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(Filter(), IRP_MN_QUERY_CAPABILITIES).status, STATUS_SUCCESS);
    EXPECT_EQ(Lower().Count(IRP_MJ_POWER), 1u);
    EXPECT_EQ(Lower().Count(IRP_MJ_PNP), 1u);
}

// A CD drive whose lower device does buffered I/O: the probe's data must
// still arrive in the probe's buffer.
class BufferedCdTest : public FilterTest {
protected:
    FakeLowerDevice::Options LowerOptions() const override
    {
        FakeLowerDevice::Options options = FilterTest::LowerOptions();
        options.flags = DO_BUFFERED_IO;
        options.deviceType = FILE_DEVICE_CD_ROM;
        options.characteristics = FILE_REMOVABLE_MEDIA;
        return options;
    }
};

TEST_F(BufferedCdTest, ProbeSeesTheDiscThroughABufferedLowerDevice)
{
    for (auto completion : {FakeLowerDevice::Completion::Immediate, FakeLowerDevice::Completion::Pend}) {
        Lower().SetCompletion(completion);
        StoreEncrypted(kKey, Pattern(2048, 14));
        ASSERT_EQ(Control(IOCTL_CDROM_GET_DRIVE_GEOMETRY).status, STATUS_SUCCESS);
        EXPECT_TRUE(Encrypted());
        Lower().Poke(0, Pattern(2048, 15));
        ASSERT_EQ(Control(IOCTL_CDROM_GET_DRIVE_GEOMETRY).status, STATUS_SUCCESS);
        EXPECT_FALSE(Encrypted());
    }
}

}  // namespace
}  // namespace tarn::test
