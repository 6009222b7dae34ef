// The driver loaded as the host loads it, image files in a temporary
// folder, and helpers to mount, read and write through its devices. After
// every test the driver is unloaded and its pool tag, tokens and file
// handles must all be given back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/irp_sender.h"
#include "tests/support/reference_cipher.h"
#include "vdisk/extension.h"

namespace tarn::test {

// "\??\" and the Linux path, as the service writes image names.
std::u16string NtPathOf(const std::filesystem::path& path);

VDISK_MOUNT_RECORD MakeRecord(const std::filesystem::path& image, int64_t diskSize = 0, bool readOnly = false,
                              uint32_t kind = VDISK_KIND_IMAGE, char letter = 'V');
std::vector<uint8_t> RecordBytes(const VDISK_MOUNT_RECORD& record);

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path, uint64_t offset, size_t length);
void WriteFileBytes(const std::filesystem::path& path, uint64_t offset, const std::vector<uint8_t>& data);
// A file of size bytes holding Pattern(size, seed).
void MakeImage(const std::filesystem::path& path, size_t size, uint32_t seed);

class VdiskTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

public:
    PDEVICE_OBJECT Disk(ULONG n) const;
    PDEVICE_OBJECT Cd(ULONG n) const;
    static VDISK_EXTENSION* Ext(PDEVICE_OBJECT device) { return VdiskExtension(device); }
    const std::filesystem::path& Dir() const { return dir_; }

    IrpResult Mount(PDEVICE_OBJECT device, const VDISK_MOUNT_RECORD& record);
    IrpResult Unmount(PDEVICE_OBJECT device);
    IrpResult Control(PDEVICE_OBJECT device, ULONG code, const std::vector<uint8_t>& input = {},
                      std::vector<uint8_t>* output = nullptr, ULONG outputLength = 0);
    IrpResult SetKey(PDEVICE_OBJECT device, const Key& key);

    // Reads through the device; the status must be success.
    std::vector<uint8_t> Read(PDEVICE_OBJECT device, int64_t offset, ULONG length);
    IrpResult Write(PDEVICE_OBJECT device, int64_t offset, std::vector<uint8_t>& data);

    // Unloads now (a test that checks the unload itself); TearDown then
    // only checks what is left.
    void UnloadDriver();
    bool Loaded() const { return driver_ != nullptr; }

private:
    PDEVICE_OBJECT Lookup(const char16_t* name) const;

    std::filesystem::path dir_;
    PDRIVER_OBJECT driver_ = nullptr;
};

}  // namespace tarn::test
