// Which Win32 names CreateFileA sends to the machine and which stay Linux files.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include <unistd.h>
#include <optional>
#include <string>

#include "platform/win32/nt_path.h"

namespace {

TEST(DeviceNames, DeviceNamesGoToTheMachineAndPathsStayFiles) {
    const struct {
        const char* name;
        std::optional<std::string> device;
    } cases[] = {
        {"\\\\.\\E:", "E:"},
        {"\\\\.\\Global\\E:", "Global\\E:"},
        {"\\\\?\\E:", "E:"},
        {"\\\\?\\STORAGE#Volume#HarddiskVolume2#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}",
         "STORAGE#Volume#HarddiskVolume2#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}"},
        {"\\\\?\\/tmp/image.img", std::nullopt},  // a long-path file name
        {"\\\\?\\C:\\image.img", std::nullopt},
        {"\\\\?\\", std::nullopt},
        {"\\??\\/tmp/image.img", std::nullopt},
        {"/tmp/image.img", std::nullopt},
        {"E:", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto device = tarn::win32::DeviceNameOf(c.name);
        EXPECT_EQ(device ? std::optional<std::string>(std::string(*device)) : std::nullopt, c.device) << c.name;
    }
}

TEST(DeviceNames, LongPathPrefixStillOpensLinuxFiles) {
    char path[] = "/tmp/tarn-names-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    HANDLE h = CreateFileA(("\\\\?\\" + std::string(path)).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    std::remove(path);
}

}  // namespace
