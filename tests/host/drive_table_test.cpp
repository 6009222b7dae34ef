#include "platform/host/drive_table.h"

#include <gtest/gtest.h>

using namespace tarn::host;

TEST(DriveTable, TextRoundTripKeepsEveryField) {
    DriveTable t;
    ASSERT_TRUE(t.Add({'E', DriveKind::Fixed, false, "data.img"}));
    ASSERT_TRUE(t.Add({'C', DriveKind::Fixed, false, "/abs/system disk.img"}));
    ASSERT_TRUE(t.Add({'D', DriveKind::CdRom, true, ""}));
    ASSERT_TRUE(t.Add({'Z', DriveKind::Remote, true, "share.img"}));
    auto back = DriveTable::Parse(t.Format());
    ASSERT_TRUE(back) << back.error();
    ASSERT_EQ(back->Entries().size(), 4u);
    const char order[] = {'C', 'D', 'E', 'Z'};
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(back->Entries()[i].letter, order[i]);
    EXPECT_EQ(back->Find('C')->backing, "/abs/system disk.img");
    EXPECT_FALSE(back->Find('D')->HasMedia());
    EXPECT_TRUE(back->Find('D')->readOnly);
    EXPECT_EQ(back->Find('Z')->kind, DriveKind::Remote);
}

TEST(DriveTable, MalformedLinesAreRejectedWithTheirLineNumber) {
    struct Case {
        const char* text;
        const char* expect;
    } cases[] = {
        {"EE: fixed rw a.img\n", "line 1"},
        {"# ok\nE: floppy rw a.img\n", "line 2"},
        {"E: fixed rx a.img\n", "rw or ro"},
        {"E: fixed rw\n", "missing backing"},
        {"E: fixed rw a\nE: fixed rw b\n", "already exists"},
        {"1: fixed rw a\n", "bad drive letter"},
    };
    for (const auto& c : cases) {
        auto t = DriveTable::Parse(c.text);
        ASSERT_FALSE(t) << c.text;
        EXPECT_NE(t.error().find(c.expect), std::string::npos) << c.text << " -> " << t.error();
    }
}

TEST(DriveTable, RemoveAndLetterParsing) {
    DriveTable t;
    ASSERT_TRUE(t.Add({'E', DriveKind::Fixed, false, "a"}));
    EXPECT_FALSE(t.Remove('F'));
    EXPECT_TRUE(t.Remove('E'));
    EXPECT_TRUE(t.Entries().empty());
    EXPECT_FALSE(t.Add({'E', DriveKind::Fixed, false, "-"}));  // "-" means no medium
    EXPECT_EQ(ParseDriveLetter("e"), 'E');
    EXPECT_EQ(ParseDriveLetter("e:"), 'E');
    EXPECT_EQ(ParseDriveLetter("E:\\"), 'E');
    EXPECT_EQ(ParseDriveLetter("E:/"), std::nullopt);
    EXPECT_EQ(ParseDriveLetter("EE"), std::nullopt);
    EXPECT_EQ(ParseDriveLetter(""), std::nullopt);
}
