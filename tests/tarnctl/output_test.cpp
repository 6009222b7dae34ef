// What status and mounts print: the table, the JSON, and words for every
// status word, including codes that are not status words at all.
#include <gtest/gtest.h>

#include "fake_backend.h"
#include "tools/tarnctl/cmd_status.h"
#include "tools/tarnctl/commands.h"
#include "tools/tarnctl/json.h"
#include "tools/tarnctl/status_word.h"

namespace tarnctl::testing {
namespace {

TEST(JsonStrings, StayValidWhateverTheTextHolds) {
    EXPECT_EQ(JsonString("plain"), "\"plain\"");
    EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonString("x\ny\t\x01"), "\"x\\ny\\t\\u0001\"");
    EXPECT_EQ(JsonString("caf\xE9"), "\"caf\\u00e9\"") << "an 8-bit label is not valid UTF-8";
    EXPECT_EQ(JsonString("/tmp/caf\xC3\xA9.img"), "\"/tmp/caf\xC3\xA9.img\"") << "a UTF-8 path passes";
}

TEST(StatusWords, EveryServiceWordHasItsWordsAndOthersReadAsErrors) {
    struct Case {
        uint32_t status;
        const char* words;
    } cases[] = {
        {0x00000, "plain, read-only"}, {0x10000, "plain"},           {0x80001, "encrypted, unlocked, read-only"},
        {0xC0001, "encrypted, unlocked"}, {0x20002, "encrypted, locked"}, {0x00003, "not recognised"},
        {0x6BA, "error"},              {0x10001, "error"},           {0x2, "error"},
    };
    for (const auto& c : cases) EXPECT_EQ(DescribeStatus(c.status), c.words) << std::hex << c.status;
}

TEST(StatusTable, ListsExistingDrivesWithStateSizeAndVolume) {
    Harness h;
    h.backend.drives['E'].status = 0x20002;
    h.backend.drives['E'].hasVolume = false;
    h.backend.drives['F'] = FakeDrive{kDriveCdrom, 0x3, 0, 0, false, {}};
    ASSERT_EQ(CmdStatus(h.ctx, {}), kExitOk);
    const std::string out = h.out.str();
    EXPECT_NE(out.find("C:     fixed  0x10000  plain"), std::string::npos) << out;
    EXPECT_NE(out.find("64.0 MiB"), std::string::npos) << out;
    EXPECT_NE(out.find("encrypted, locked"), std::string::npos) << out;
    EXPECT_NE(out.find("F:     cdrom"), std::string::npos) << out;
    EXPECT_EQ(out.find("D:"), std::string::npos) << "no row for a letter without a drive";
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4);

    Harness one;
    ASSERT_EQ(CmdStatus(one.ctx, {"e", true}), kExitOk);
    EXPECT_EQ(one.out.str(),
              "[\n {\"drive\": \"E:\", \"type\": \"fixed\", \"status\": 65536, \"status_hex\": \"0x10000\", \"state\": "
              "\"plain\", \"total_bytes\": 67108864, \"free_bytes\": 33554432, \"file_system\": \"FAT32\", \"label\": "
              "\"DATA\", \"interrupted\": false}\n]\n");
    for (const auto& c : one.backend.calls) {
        if (c.rfind("QueryDrive", 0) == 0) {
            EXPECT_EQ(c, "QueryDrive \\\\.\\E: E:");
        }
    }
}

TEST(StatusTable, SizesAreShownInBinaryUnits) {
    EXPECT_EQ(HumanSize(0), "0 B");
    EXPECT_EQ(HumanSize(1023), "1023 B");
    EXPECT_EQ(HumanSize(1536), "1.5 KiB");
    EXPECT_EQ(HumanSize(int64_t(1) << 30), "1.0 GiB");
    EXPECT_EQ(HumanSize(int64_t(3) << 40), "3.0 TiB");
}

}  // namespace
}  // namespace tarnctl::testing
