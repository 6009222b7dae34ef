// The moment after a first encryption's key goes to the filter: the worker
// unlocks before it dismounts, and only the dismount's read of unit 0 used to
// show the filter its marker. A write in between passed through unencrypted.
#include <windows.h>

#include <winioctl.h>

#include <cstdlib>
#include <memory>

#include "crypto_check.h"
#include "service/drive_conversion.h"
#include "service_machine.h"

namespace tarn::svce2e {
namespace {

constexpr uint64_t kDriveBytes = 1ull << 20;
constexpr uint64_t kAt = 300 * kUnit;

class MarkerShown : public ServiceMachine {
protected:
    void Prepare() override { backing_ = AddDrive("G:", kDriveBytes); }
    std::string backing_;
};

TEST_F(MarkerShown, WritesAreEncryptedAsSoonAsTheFirstEncryptionHandsOverItsKey) {
    HANDLE h = CreateFileA("\\\\.\\G:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(h, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
    ASSERT_EQ(RunDriveConversion(h, kDriveBytes, true, "pw", nullptr), 0u);

    // Still locked, as the worker is before its unlock: a write now is the
    // one another handle could make right after that unlock.
    const std::string plain(kUnit, 'A');
    std::unique_ptr<uint8_t, decltype(&std::free)> unit(static_cast<uint8_t*>(std::aligned_alloc(4096, 4096)), &std::free);
    std::memcpy(unit.get(), plain.data(), kUnit);
    LARGE_INTEGER at;
    at.QuadPart = LONGLONG(kAt);
    DWORD written = 0;
    ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
    ASSERT_TRUE(WriteFile(h, unit.get(), DWORD(kUnit), &written, nullptr));
    DeviceIoControl(h, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
    DeviceIoControl(h, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
    CloseHandle(h);

    const std::string stored = ReadAll(backing_);
    ASSERT_EQ(stored.size(), kDriveBytes);
    EXPECT_NE(stored.compare(kAt, kUnit, plain), 0) << "the write reached the encrypted drive in plaintext";
    EXPECT_EQ(stored.compare(kAt, kUnit, ExpectedCipherUnit(plain, kAt, "pw")), 0);
}

}  // namespace
}  // namespace tarn::svce2e
