// What the user types is checked before anything reaches the service.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <functional>

#include "fake_backend.h"
#include "tools/tarnctl/commands.h"
#include "tools/tarnctl/validate.h"

namespace tarnctl::testing {
namespace {

TEST(DriveNameParsing, AcceptsOnlyOneLetterWithOptionalColonAndBackslash) {
    struct Case {
        const char* text;
        char letter;  // 0: refused
    } cases[] = {
        {"E:", 'E'}, {"e:", 'E'}, {"E", 'E'}, {"z:\\", 'Z'}, {"", 0},   {":", 0},     {"EE:", 0},
        {"E:/", 0},  {"1:", 0},   {"E;", 0},  {"E:\\x", 0},  {"\xC3\x89:", 0}, {"\\\\.\\E:", 0}, {"E: ", 0},
    };
    for (const auto& c : cases) {
        char letter = 0;
        const bool ok = ParseDriveName(c.text, &letter);
        EXPECT_EQ(ok, c.letter != 0) << c.text;
        if (ok) {
            EXPECT_EQ(letter, c.letter) << c.text;
        }
    }
}

TEST(ImageOptionChecks, RefuseLabelsSizesAndFileSystemsTheImageCannotHold) {
    std::string why;
    EXPECT_TRUE(CheckVolumeLabel("DEFAULT VOL", &why));
    EXPECT_TRUE(CheckVolumeLabel("", &why));
    EXPECT_FALSE(CheckVolumeLabel("TWELVE CHARS", &why)) << "12 characters";
    EXPECT_FALSE(CheckVolumeLabel("A/B", &why));
    EXPECT_FALSE(CheckVolumeLabel("TAB\tX", &why));
    EXPECT_FALSE(CheckVolumeLabel("\xC3\x89T\xC3\x89", &why));

    int64_t bytes = 0;
    EXPECT_FALSE(CheckImageSize(0, &bytes, &why));
    EXPECT_FALSE(CheckImageSize(-1, &bytes, &why));
    ASSERT_TRUE(CheckImageSize(4096, &bytes, &why));
    EXPECT_EQ(bytes, 4294967296LL) << "the byte count must not wrap at 32 bits";
    EXPECT_TRUE(CheckImageSize(2097152, &bytes, &why));
    EXPECT_FALSE(CheckImageSize(2097153, &bytes, &why));
    EXPECT_FALSE(CheckImageSize(INT64_MAX / 2, &bytes, &why)) << "no overflow into a small size";

    long fsType = -1;
    std::string name;
    ASSERT_TRUE(ParseFileSystem("FAT", &fsType, &name));
    EXPECT_EQ(fsType, 0);
    EXPECT_EQ(name, "FAT");
    ASSERT_TRUE(ParseFileSystem("fat32", &fsType, &name));
    EXPECT_EQ(fsType, 1);
    EXPECT_EQ(name, "FAT32");
    EXPECT_FALSE(ParseFileSystem("ntfs", &fsType, &name));
    EXPECT_FALSE(ParseFileSystem("", &fsType, &name));
}

TEST(PathAndAddressChecks, GiveTheServiceAbsolutePathsAndNetworkByteOrder) {
    std::string abs, why;
    ASSERT_TRUE(AbsoluteFilePath("/tmp/a/../b.img", &abs, &why));
    EXPECT_EQ(abs, "/tmp/b.img");
    ASSERT_TRUE(AbsoluteFilePath("rel.img", &abs, &why));
    EXPECT_EQ(abs.front(), '/') << "the service's working directory is not ours";
    ASSERT_TRUE(AbsoluteFilePath("\\\\.\\E:", &abs, &why));
    EXPECT_EQ(abs.front(), '/') << "a device name must stay a plain file name";
    EXPECT_FALSE(AbsoluteFilePath("", &abs, &why));
    EXPECT_FALSE(AbsoluteFilePath("/tmp/dir/", &abs, &why));
    EXPECT_FALSE(AbsoluteFilePath("/" + std::string(5000, 'x'), &abs, &why));

    uint32_t address = 0;
    uint16_t port = 0;
    ASSERT_TRUE(ParseNetAddress("10.1.2.3:10809", &address, &port, &why));
    EXPECT_EQ(address, htonl(0x0A010203));
    EXPECT_EQ(port, htons(10809));
    for (const char* bad : {"10.1.2.3", "10.1.2.3:", ":80", "10.1.2.3:0", "10.1.2.3:65536", "10.1.2.3:8x",
                            "10.1.2.3:99999999999999999999"}) {
        EXPECT_FALSE(ParseNetAddress(bad, &address, &port, &why)) << bad;
    }
}

// Each of these is refused with status 2 before any service call.
TEST(BadInput, IsRefusedWithStatusTwoAndNothingSent) {
    char pattern[] = "/tmp/tarnctl-unit-XXXXXX";
    const int fd = ::mkstemp(pattern);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const std::string image = pattern;
    const std::string emptyFile = image;  // an empty file: an empty password
    struct Case {
        const char* what;
        std::function<int(Context&)> run;
    } cases[] = {
        {"odd drive name", [](Context& c) { return CmdEncrypt(c, {"E?", true, {}}); }},
        {"too long drive name", [](Context& c) { return CmdLock(c, {"E:\\\\", false, {}}); }},
        {"missing drive", [](Context& c) { return CmdUnlock(c, {"Q:", false, {}}); }},
        {"missing drive in status", [](Context& c) { return CmdStatus(c, {"Q:", false}); }},
        {"format: bad file system", [](Context& c) { return CmdFormat(c, {"E:", "ntfs", "", true}); }},
        {"format: long label", [](Context& c) { return CmdFormat(c, {"E:", "fat", "ABCDEFGHIJKL", true}); }},
        {"create: zero size", [](Context& c) { return CmdCreateImage(c, {"/tmp/x.img", 0, "fat", false, "L", false, true, {}}); }},
        {"create: empty path", [](Context& c) { return CmdCreateImage(c, {"", 10, "fat", false, "L", false, true, {}}); }},
        {"convert: no direction", [&](Context& c) { return CmdConvertImage(c, {image, "/tmp/y", false, false, true, {}}); }},
        {"convert: missing source", [](Context& c) { return CmdConvertImage(c, {"/nonexistent.iso", "/tmp/y", true, false, true, {}}); }},
        {"convert: names differing only in case", [&](Context& c) {
             std::string upper = image;
             for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
             return CmdConvertImage(c, {image, upper, true, false, true, {}});
         }},
        {"encrypt: empty password file", [&](Context& c) { return CmdEncrypt(c, {"E:", true, {emptyFile, false}}); }},
        {"unlock: empty password file", [&](Context& c) { return CmdUnlock(c, {"E:", true, {emptyFile, false}}); }},
        {"create: empty password file",
         [&](Context& c) { return CmdCreateImage(c, {"/tmp/x.img", 10, "fat", false, "L", true, true, {emptyFile, false}}); }},
        {"mount: empty password file", [&](Context& c) { return CmdMount(c, {{image}, "", "", false, false, {emptyFile, false}}); }},
        {"mount: missing file", [](Context& c) { return CmdMount(c, {{"/nonexistent.img"}, "", "", false, false, {}}); }},
        {"mount: letter before D", [&](Context& c) { return CmdMount(c, {{image, "B:"}, "", "", false, false, {}}); }},
        {"mount: letter in use", [&](Context& c) { return CmdMount(c, {{image, "E:"}, "", "", false, false, {}}); }},
        {"mount: bad server", [](Context& c) { return CmdMount(c, {{}, "host", "", false, false, {}}); }},
        {"mount: cd over net", [](Context& c) { return CmdMount(c, {{}, "1.2.3.4:5", "", true, false, {}}); }},
        {"unmount: odd name", [](Context& c) { return CmdUnmount(c, "E:x"); }},
    };
    for (auto& c : cases) {
        Harness h;
        EXPECT_EQ(c.run(h.ctx), kExitBadInput) << c.what;
        EXPECT_TRUE(h.backend.calls.empty()) << c.what << ": " << h.backend.calls.front();
        EXPECT_FALSE(h.err.str().empty()) << c.what << ": no message";
    }
    ::unlink(image.c_str());
}

TEST(Unreachable, MachineOrServiceDownGivesStatusThree) {
    {
        Harness h;
        h.backend.machineError = 55;
        EXPECT_EQ(CmdStatus(h.ctx, {}), kExitUnreachable);
        EXPECT_TRUE(h.backend.calls.empty());
    }
    {
        Harness h;
        h.backend.ping = 1722;
        EXPECT_EQ(CmdEncrypt(h.ctx, {"E:", true, {}}), kExitUnreachable);
        EXPECT_TRUE(h.backend.Changes().empty());
        EXPECT_NE(h.err.str().find("error code 6BA"), std::string::npos) << h.err.str();
    }
}

}  // namespace
}  // namespace tarnctl::testing
