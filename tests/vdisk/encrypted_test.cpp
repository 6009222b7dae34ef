// Encrypted images: the file keeps the on-medium format (checked against
// OpenSSL), the device shows plaintext only while a key is loaded, and the
// encryption codes move the state as on the filter.
#include <unistd.h>

#include "cipher/keys.h"
#include "cipher/sector.h"
#include "platform/nt/testing.h"
#include "sys/crypt_ioctl.h"
#include "tests/vdisk/vdisk_fixture.h"

namespace tarn::test {
namespace {

constexpr size_t kImageSize = 256 * 1024;

// Plaintext whose unit 0 ends in a boot signature, as a file system writes it.
std::vector<uint8_t> Volume(uint32_t seed)
{
    std::vector<uint8_t> data = Pattern(kImageSize, seed);
    data[510] = 0x55;
    data[511] = 0xAA;
    return data;
}

// The user's and the fixed key schedules of a key, as the drivers make them.
void Schedules(const Key& key, KEY_SCHEDULE* user, KEY_SCHEDULE* fixed)
{
    uint8_t fixedBuffer[kKeyBufferSize];
    BuildFixedKeyBuffer(fixedBuffer);
    AesSetKey(user, key.data(), 256);
    AesSetKey(fixed, fixedBuffer, 256);
}

// The image as the service's conversion writes it, with our cipher.
void MakeEncryptedImage(const std::filesystem::path& path, const std::vector<uint8_t>& plaintext, const Key& key)
{
    KEY_SCHEDULE user;
    KEY_SCHEDULE fixed;
    Schedules(key, &user, &fixed);
    std::vector<uint8_t> stored = plaintext;
    EncryptTransfer(&user, &fixed, 0, stored.data(), stored.size());
    WriteFileBytes(path, 0, stored);
}

uint32_t QueryState(VdiskTest& t, PDEVICE_OBJECT device)
{
    std::vector<uint8_t> out;
    EXPECT_EQ(t.Control(device, IOCTL_CRYPT_QUERY_STATE, {}, &out, 4).status, STATUS_SUCCESS);
    uint32_t state = 0xFFFFFFFF;
    if (out.size() == 4) std::memcpy(&state, out.data(), 4);
    return state;
}

class EncryptedImageTest : public VdiskTest {
protected:
    void SetUp() override
    {
        VdiskTest::SetUp();
        image_ = Dir() / "secret.img";
        plaintext_ = Volume(11);
        MakeEncryptedImage(image_, plaintext_, key_);
        stored_ = ReadFileBytes(image_, 0, kImageSize);
        disk_ = Disk(4);
        ASSERT_EQ(Mount(disk_, MakeRecord(image_)).status, STATUS_SUCCESS);
    }

    Key key_ = KeyFromText("correct horse");
    std::filesystem::path image_;
    std::vector<uint8_t> plaintext_;
    std::vector<uint8_t> stored_;
    PDEVICE_OBJECT disk_ = nullptr;
};

TEST_F(EncryptedImageTest, DeviceShowsPlaintextOnlyWithTheKey)
{
    EXPECT_EQ(QueryState(*this, disk_), 1u);
    EXPECT_EQ(Read(disk_, 0, 65536), std::vector<uint8_t>(stored_.begin(), stored_.begin() + 65536))
        << "locked: the stored bytes";

    ASSERT_EQ(SetKey(disk_, key_).status, STATUS_SUCCESS);
    EXPECT_EQ(Read(disk_, 0, kImageSize), plaintext_);
    EXPECT_EQ(Read(disk_, 8192, 4096), std::vector<uint8_t>(plaintext_.begin() + 8192, plaintext_.begin() + 12288));

    ASSERT_EQ(Control(disk_, IOCTL_CRYPT_CLEAR_KEY).status, STATUS_SUCCESS);
    EXPECT_EQ(Read(disk_, 0, 4096), std::vector<uint8_t>(stored_.begin(), stored_.begin() + 4096));
    EXPECT_EQ(QueryState(*this, disk_), 1u);
}

TEST_F(EncryptedImageTest, WritesReachTheFileEncryptedAndLeaveTheCallersBuffer)
{
    ASSERT_EQ(SetKey(disk_, key_).status, STATUS_SUCCESS);
    for (int64_t offset : {int64_t(0), int64_t(65536)}) {
        std::vector<uint8_t> data = Pattern(8192, uint32_t(offset) + 1);
        data[510] = 0x55;
        data[511] = 0xAA;
        const std::vector<uint8_t> copy = data;
        IrpResult r = Write(disk_, offset, data);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, 8192u);
        EXPECT_EQ(data, copy) << "the caller's buffer changed";
        EXPECT_EQ(ReadFileBytes(image_, offset, 8192), StoredForm(key_, uint64_t(offset), copy)) << offset;
        EXPECT_EQ(Read(disk_, offset, 8192), copy);
    }
    KEY_SCHEDULE fixed;
    uint8_t fixedBuffer[kKeyBufferSize];
    BuildFixedKeyBuffer(fixedBuffer);
    AesSetKey(&fixed, fixedBuffer, 256);
    EXPECT_TRUE(UnitZeroHasMarker(&fixed, ReadFileBytes(image_, 0, 512).data()));

    // Units are transformed where they lie; a transfer off the unit grid
    // could only be transformed wrongly.
    std::vector<uint8_t> odd(1000);
    EXPECT_EQ(SendRead(disk_, 512, odd.data(), 1000).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SendWrite(disk_, 100, odd.data(), 512).status, STATUS_INVALID_PARAMETER);
}

// An encrypted write is made a piece at a time in a buffer the device
// keeps: every piece must land where it belongs, with unit 0 treated as
// unit 0 only.
TEST_F(EncryptedImageTest, LongWritesReachTheFileEncryptedPieceByPiece)
{
    ASSERT_EQ(SetKey(disk_, key_).status, STATUS_SUCCESS);
    const struct {
        int64_t offset;
        size_t length;
    } writes[] = {{0, kImageSize}, {512, 130 * 1024 + 512}, {65536, 65536}, {kImageSize - 512, 512}};
    for (const auto& w : writes) {
        SCOPED_TRACE(w.offset);
        std::vector<uint8_t> data = Pattern(w.length, uint32_t(w.length));
        if (w.offset == 0) {
            data[510] = 0x55;
            data[511] = 0xAA;
        }
        const std::vector<uint8_t> copy = data;
        IrpResult r = Write(disk_, w.offset, data);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, w.length);
        EXPECT_EQ(data, copy) << "the caller's buffer changed";
        EXPECT_EQ(ReadFileBytes(image_, uint64_t(w.offset), w.length), StoredForm(key_, uint64_t(w.offset), copy));
        EXPECT_EQ(Read(disk_, w.offset, ULONG(w.length)), copy);
    }

    // Without memory for the ciphertext the write fails as such and the
    // file keeps every byte.
    ASSERT_EQ(Unmount(disk_).status, STATUS_SUCCESS);
    ASSERT_EQ(Mount(disk_, MakeRecord(image_)).status, STATUS_SUCCESS);
    const std::vector<uint8_t> before = ReadFileBytes(image_, 0, kImageSize);
    NtPoolFailAllocation(VDISK_POOL_TAG, 1);
    std::vector<uint8_t> data = Pattern(4096, 34);
    IrpResult r = Write(disk_, 8192, data);
    NtResetFaults();
    EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(ReadFileBytes(image_, 0, kImageSize), before);
    ASSERT_EQ(Write(disk_, 8192, data).status, STATUS_SUCCESS);
    EXPECT_EQ(Read(disk_, 8192, 4096), data);
}

TEST_F(EncryptedImageTest, LockedDeviceWriteCorruptsNothing)
{
    // Without the key a write would put plaintext among the ciphertext. It is
    // refused and the file keeps every byte; a raw write still goes through,
    // and once the key is loaded writes are encrypted again.
    const std::vector<uint8_t> before = ReadFileBytes(image_, 0, 20480);
    std::vector<uint8_t> data = Pattern(4096, 99);
    for (LONGLONG offset : {LONGLONG(0), LONGLONG(16384)}) {
        IrpResult r = Write(disk_, offset, data);
        EXPECT_EQ(r.status, STATUS_ACCESS_DENIED) << "offset " << offset;
        EXPECT_EQ(r.information, 0u);
    }
    EXPECT_EQ(ReadFileBytes(image_, 0, 20480), before);
    EXPECT_EQ(QueryState(*this, disk_), 1u) << "still encrypted";

    std::vector<uint8_t> raw(8 + 512);
    int64_t offset = 16384;
    std::memcpy(raw.data(), &offset, 8);
    EXPECT_EQ(Control(disk_, IOCTL_CRYPT_RAW_WRITE, raw).status, STATUS_SUCCESS);

    ASSERT_EQ(SetKey(disk_, key_).status, STATUS_SUCCESS);
    ASSERT_EQ(Write(disk_, 16384, data).status, STATUS_SUCCESS);
    EXPECT_NE(ReadFileBytes(image_, 16384, 4096), data) << "ciphertext in the file";
    EXPECT_EQ(Read(disk_, 16384, 4096), data);
}

TEST_F(EncryptedImageTest, KeySurvivesRemountButNotAPlainMedium)
{
    ASSERT_EQ(SetKey(disk_, key_).status, STATUS_SUCCESS);
    ASSERT_EQ(Unmount(disk_).status, STATUS_SUCCESS);
    ASSERT_EQ(Mount(disk_, MakeRecord(image_)).status, STATUS_SUCCESS);
    EXPECT_EQ(Read(disk_, 0, 4096), std::vector<uint8_t>(plaintext_.begin(), plaintext_.begin() + 4096))
        << "the key loaded before the unmount";
    ASSERT_EQ(Unmount(disk_).status, STATUS_SUCCESS);

    auto plain = Dir() / "plain.img";
    MakeImage(plain, kImageSize, 12);
    ASSERT_EQ(Mount(disk_, MakeRecord(plain)).status, STATUS_SUCCESS);
    EXPECT_EQ(QueryState(*this, disk_), 0u);
    EXPECT_EQ(Ext(disk_)->KeyLoaded, 0) << "a plain medium drops the key";
    ASSERT_EQ(Unmount(disk_).status, STATUS_SUCCESS);
}

TEST_F(EncryptedImageTest, RawWriteAndEndEncryptionActAsOnTheFilter)
{
    ASSERT_EQ(SetKey(disk_, key_).status, STATUS_SUCCESS);
    // Raw unit 0: stored exactly as given, the device stays unlocked.
    std::vector<uint8_t> raw(8 + 1024);
    int64_t offset = 0;
    std::memcpy(raw.data(), &offset, 8);
    std::vector<uint8_t> unit = Pattern(1024, 5);
    std::copy(unit.begin(), unit.end(), raw.begin() + 8);
    IrpResult r = Control(disk_, IOCTL_CRYPT_RAW_WRITE, raw);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 1024u) << "the bytes the file system wrote";
    EXPECT_EQ(ReadFileBytes(image_, 0, 1024), unit);
    EXPECT_EQ(QueryState(*this, disk_), 1u);

    // Ending encryption makes the device plain until a read of unit 0 finds
    // the marker again.
    ASSERT_EQ(Control(disk_, IOCTL_CRYPT_END_ENCRYPTION).status, STATUS_SUCCESS);
    EXPECT_EQ(QueryState(*this, disk_), 0u);
    EXPECT_EQ(Ext(disk_)->KeyLoaded, 0);
    std::vector<uint8_t> restore(8 + 512);
    std::memcpy(restore.data(), &offset, 8);
    std::copy(stored_.begin(), stored_.begin() + 512, restore.begin() + 8);
    ASSERT_EQ(Control(disk_, IOCTL_CRYPT_RAW_WRITE, restore).status, STATUS_SUCCESS);
    EXPECT_EQ(QueryState(*this, disk_), 0u);
    Read(disk_, 0, 512);
    EXPECT_EQ(QueryState(*this, disk_), 1u);

    // With a key loaded, the read that finds the marker is already plaintext.
    ASSERT_EQ(Control(disk_, IOCTL_CRYPT_END_ENCRYPTION).status, STATUS_SUCCESS);
    ASSERT_EQ(SetKey(disk_, key_).status, STATUS_SUCCESS);
    EXPECT_EQ(Read(disk_, 0, 512), std::vector<uint8_t>(plaintext_.begin(), plaintext_.begin() + 512));
}

// Reads decrypt on their way out of the mapped image file; they must give
// what the file holds now, wherever they start and however long they are.
TEST_F(EncryptedImageTest, ReadsAnywhereShowWhatTheFileHoldsNow)
{
    auto slice = [](const std::vector<uint8_t>& v, size_t offset, size_t length) {
        return std::vector<uint8_t>(v.begin() + offset, v.begin() + offset + length);
    };
    const struct {
        size_t offset;
        size_t length;
    } ranges[] = {{0, 512}, {0, 1024}, {512, 512}, {512, 65536}, {4096, kImageSize - 4096},
                  {kImageSize - 512, 512}, {0, kImageSize}};
    // Locked: the stored bytes.
    for (const auto& r : ranges) {
        EXPECT_EQ(Read(disk_, r.offset, r.length), slice(stored_, r.offset, r.length)) << r.offset;
    }
    ASSERT_EQ(SetKey(disk_, key_).status, STATUS_SUCCESS);
    for (const auto& r : ranges) {
        EXPECT_EQ(Read(disk_, r.offset, r.length), slice(plaintext_, r.offset, r.length)) << r.offset;
    }

    // What writes put in the file shows at once: through the device, raw,
    // and by another program.
    std::vector<uint8_t> written = Pattern(8192, 31);
    ASSERT_EQ(Write(disk_, 32768, written).status, STATUS_SUCCESS);
    EXPECT_EQ(Read(disk_, 32768, 8192), written);
    const std::vector<uint8_t> rawUnits = StoredForm(key_, 49152, Pattern(1024, 32));
    std::vector<uint8_t> raw(8 + rawUnits.size());
    const int64_t rawOffset = 49152;
    std::memcpy(raw.data(), &rawOffset, 8);
    std::copy(rawUnits.begin(), rawUnits.end(), raw.begin() + 8);
    ASSERT_EQ(Control(disk_, IOCTL_CRYPT_RAW_WRITE, raw).status, STATUS_SUCCESS);
    EXPECT_EQ(Read(disk_, 49152, 1024), Pattern(1024, 32));
    WriteFileBytes(image_, 131072, StoredForm(key_, 131072, Pattern(4096, 33)));
    EXPECT_EQ(Read(disk_, 131072, 4096), Pattern(4096, 33));
}

// A file cut short under the mounted disk: what it no longer holds reads
// as stored zeroes, decrypted, as a read of the file would give it, and the
// process lives on.
TEST_F(EncryptedImageTest, ReadOfAFileCutShortUnderTheDiskShowsDecryptedZeroes)
{
    ASSERT_EQ(SetKey(disk_, key_).status, STATUS_SUCCESS);
    const size_t end = kImageSize - 10000;  // pages beyond the end are gone
    ASSERT_EQ(truncate(image_.c_str(), off_t(end)), 0);
    std::vector<uint8_t> stored(stored_.begin() + kImageSize - 16384, stored_.end());
    std::fill(stored.begin() + (end - (kImageSize - 16384)), stored.end(), 0);
    KEY_SCHEDULE user;
    KEY_SCHEDULE fixed;
    Schedules(key_, &user, &fixed);
    DecryptTransfer(&user, &fixed, kImageSize - 16384, stored.data(), stored.size());
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(Read(disk_, kImageSize - 16384, 16384), stored) << round;
    }
    EXPECT_EQ(Read(disk_, 8192, 4096), std::vector<uint8_t>(plaintext_.begin() + 8192, plaintext_.begin() + 12288));
}

}  // namespace
}  // namespace tarn::test
