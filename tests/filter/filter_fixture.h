// A filter attached above a fake lower device, started, with helpers to
// bring it into each encryption state and to talk to it. After every test the
// filter is removed and the pool must hold exactly what it held before.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sys/extension.h"
#include "tests/support/fake_lower_device.h"
#include "tests/support/irp_sender.h"
#include "tests/support/reference_cipher.h"

namespace tarn::test {

class FilterTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Options of the lower device; a test fixture may override before SetUp.
    virtual FakeLowerDevice::Options LowerOptions() const;
    virtual bool StartInSetUp() const { return true; }

public:  // tables of cases reach the helpers through lambdas

    PDEVICE_OBJECT Filter() const { return filter_; }
    FILTER_EXTENSION* Extension() const { return FilterExtension(filter_); }
    FakeLowerDevice& Lower() { return *lower_; }

    bool Encrypted() const { return Extension()->Encrypted != 0; }
    bool KeyLoaded() const { return Extension()->KeyLoaded != 0; }

    // The lower device holds plaintext encrypted with key, in the stored form
    // (unit 0 carries the marker), starting at offset 0.
    void StoreEncrypted(const Key& key, const std::vector<uint8_t>& plaintext);

    IrpResult SetKey(const Key& key);
    IrpResult Control(ULONG code, const std::vector<uint8_t>& input = {});
    // Loads key and reads unit 0 so the filter finds the marker: Unlocked.
    void Unlock(const Key& key);

    // Reads through the filter; the status must be success.
    std::vector<uint8_t> Read(int64_t offset, ULONG length);
    IrpResult Write(int64_t offset, std::vector<uint8_t>& data);

    // Removes the filter (IRP_MN_REMOVE_DEVICE); TearDown then skips it.
    IrpResult Remove();

private:
    std::unique_ptr<FakeLowerDevice> lower_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;
    bool removed_ = false;
    ULONG poolBaseline_ = 0;
};

}  // namespace tarn::test
