#include "tests/filter/filter_fixture.h"

#include "platform/nt/host.h"
#include "platform/nt/testing.h"
#include "sys/filter.h"
#include "sys/crypt_ioctl.h"

namespace tarn::test {

FakeLowerDevice::Options FilterTest::LowerOptions() const
{
    FakeLowerDevice::Options options;
    options.size = 2 << 20;
    return options;
}

void FilterTest::SetUp()
{
    FakeLowerDevice::Driver();
    poolBaseline_ = NtPoolOutstandingTotal();

    lower_ = std::make_unique<FakeLowerDevice>(LowerOptions());
    ASSERT_TRUE(NT_SUCCESS(NtHostLoadDriver(u"\\Driver\\tarn", DriverEntry, nullptr, &driver_)));
    ASSERT_NE(driver_->DriverExtension->AddDevice, nullptr);
    ASSERT_EQ(driver_->DriverExtension->AddDevice(driver_, lower_->Device()), STATUS_SUCCESS);
    filter_ = lower_->Device()->AttachedDevice;
    ASSERT_NE(filter_, nullptr);
    if (StartInSetUp()) {
        ASSERT_EQ(SendPnp(filter_, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    }
    lower_->ClearRequests();
}

void FilterTest::TearDown()
{
    NtResetFaults();
    if (filter_ != nullptr && !removed_) {
        EXPECT_EQ(Remove().status, STATUS_SUCCESS);
    }
    lower_.reset();
    if (driver_ != nullptr) {
        EXPECT_EQ(NtHostUnloadDriver(driver_), STATUS_SUCCESS);
    }
    // Every data buffer, request, MDL and device the test made is gone.
    EXPECT_EQ(NtPoolOutstanding(FILTER_DATA_TAG), 0u);
    EXPECT_EQ(NtPoolOutstanding(NT_TAG_IRP), 0u);
    EXPECT_EQ(NtPoolOutstanding(NT_TAG_MDL), 0u);
    EXPECT_EQ(NtPoolOutstanding(NT_TAG_SYSTEM_BUFFER), 0u);
    EXPECT_EQ(NtPoolOutstandingTotal(), poolBaseline_);
}

void FilterTest::StoreEncrypted(const Key& key, const std::vector<uint8_t>& plaintext)
{
    Lower().Poke(0, StoredForm(key, 0, plaintext));
}

IrpResult FilterTest::SetKey(const Key& key)
{
    return SendControl(filter_, IOCTL_CRYPT_SET_KEY, std::vector<uint8_t>(key.begin(), key.end()));
}

IrpResult FilterTest::Control(ULONG code, const std::vector<uint8_t>& input)
{
    return SendControl(filter_, code, input);
}

void FilterTest::Unlock(const Key& key)
{
    ASSERT_EQ(SetKey(key).status, STATUS_SUCCESS);
    std::vector<uint8_t> unit0(512);
    ASSERT_EQ(SendRead(filter_, 0, unit0.data(), 512).status, STATUS_SUCCESS);
    ASSERT_TRUE(Encrypted() && KeyLoaded()) << "unit 0 of the lower device carries no marker";
}

std::vector<uint8_t> FilterTest::Read(int64_t offset, ULONG length)
{
    std::vector<uint8_t> data(length, 0xEE);
    const IrpResult result = SendRead(filter_, offset, data.data(), length);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, length);
    return data;
}

IrpResult FilterTest::Write(int64_t offset, std::vector<uint8_t>& data)
{
    return SendWrite(filter_, offset, data.data(), static_cast<ULONG>(data.size()));
}

IrpResult FilterTest::Remove()
{
    removed_ = true;
    return SendPnp(filter_, IRP_MN_REMOVE_DEVICE);
}

}  // namespace tarn::test
