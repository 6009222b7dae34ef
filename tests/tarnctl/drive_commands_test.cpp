// The drive commands act only on drives in the right state, never on the
// system drive, and only after a yes.
#include <gtest/gtest.h>

#include "fake_backend.h"
#include "tools/tarnctl/commands.h"

namespace tarnctl::testing {
namespace {

TEST(DriveState, CommandsRefuseDrivesInTheWrongStateAndSendNothing) {
    struct Case {
        const char* what;
        uint32_t status;
        int (*run)(Context&, const DriveOptions&);
    } cases[] = {
        {"encrypt a locked drive", 0x20002, CmdEncrypt},
        {"encrypt an unlocked drive", 0xC0001, CmdEncrypt},
        {"encrypt a read-only plain drive", 0x00000, CmdEncrypt},
        {"decrypt a plain drive", 0x10000, CmdDecrypt},
        {"decrypt a locked drive", 0x20002, CmdDecrypt},
        {"decrypt a read-only unlocked drive", 0x80001, CmdDecrypt},
        {"lock a plain drive", 0x10000, CmdLock},
        {"unlock an unlocked drive", 0xC0001, CmdUnlock},
        {"quick-encrypt an unlocked drive", 0xC0001, CmdQuickEncrypt},
        {"quick-decrypt a plain drive", 0x10000, CmdQuickDecrypt},
        {"a transport failure's code in place of the status", 0x6BA, CmdDecrypt},
        {"a drive in no known state", 0x00003, CmdLock},
    };
    for (const auto& c : cases) {
        Harness h;
        h.backend.drives['E'].status = c.status;
        h.console.secrets = {"pw", "pw"};
        EXPECT_EQ(c.run(h.ctx, {"E:", true, {}}), kExitFailed) << c.what;
        EXPECT_TRUE(h.backend.Changes().empty()) << c.what << ": " << h.backend.Changes().front();
        EXPECT_FALSE(h.err.str().empty()) << c.what;
    }
}

TEST(DriveState, SystemDriveIsLeftAlone) {
    for (auto run : {CmdEncrypt, CmdLock, CmdQuickEncrypt}) {
        Harness h;
        h.console.secrets = {"pw", "pw"};
        EXPECT_EQ(run(h.ctx, {"C:", true, {}}), kExitFailed);
        EXPECT_TRUE(h.backend.Changes().empty());
    }
    Harness h;
    EXPECT_EQ(CmdFormat(h.ctx, {"c:", "fat32", "", true}), kExitFailed);
    EXPECT_TRUE(h.backend.formatted.empty());
}

TEST(Confirmation, OnlyYesProceeds) {
    struct Case {
        std::vector<std::string> answers;
        bool terminal;
        int expected;
    } cases[] = {
        {{"y"}, true, kExitOk}, {{" YES "}, true, kExitOk}, {{"n"}, true, kExitNotConfirmed},
        {{""}, true, kExitNotConfirmed}, {{"yess"}, true, kExitNotConfirmed}, {{}, true, kExitNotConfirmed},
        {{"y"}, false, kExitNotConfirmed},
    };
    for (const auto& c : cases) {
        Harness h;
        h.backend.drives['E'].status = 0xC0001;
        h.console.terminal = c.terminal;
        h.console.lines.assign(c.answers.begin(), c.answers.end());
        EXPECT_EQ(CmdQuickDecrypt(h.ctx, {"E:", false, {}}), c.expected) << (c.answers.empty() ? "EOF" : c.answers[0]);
        EXPECT_EQ(h.backend.Changes().empty(), c.expected != kExitOk);
    }
    Harness big;
    big.backend.drives['E'].total = 1073741824;
    big.console.lines = {"n"};
    EXPECT_EQ(CmdEncrypt(big.ctx, {"E:", false, {}}), kExitNotConfirmed);
    ASSERT_FALSE(big.console.prompts.empty());
    EXPECT_NE(big.console.prompts[0].find("The drive E: contain more than 1024.000 MB of data, encrypt it"),
              std::string::npos)
        << big.console.prompts[0];
    Harness bigger;
    bigger.backend.drives['E'].total = 1073741825;
    bigger.console.lines = {"n"};
    EXPECT_EQ(CmdEncrypt(bigger.ctx, {"E:", false, {}}), kExitNotConfirmed);
    EXPECT_NE(bigger.console.prompts[0].find("more than 1.0 GB of data"), std::string::npos);
}

TEST(LockAndUnlock, UnlockWithAWrongPasswordIsAFailure) {
    Harness h;
    h.backend.drives['E'].status = 0x20002;
    h.console.secrets = {"wrong"};
    EXPECT_EQ(CmdUnlock(h.ctx, {"E:", false, {}}), kExitFailed) << "the service does not check; the state does";
    EXPECT_NE(h.err.str().find("password is wrong"), std::string::npos);

    Harness ok;
    ok.backend.drives['E'].status = 0xC0001;
    EXPECT_EQ(CmdLock(ok.ctx, {"E:", false, {}}), kExitOk);
    EXPECT_EQ(ok.backend.Changes(), std::vector<std::string>{"LockDrive E:"});
}

TEST(QuickConversion, QuickEncryptUnlocksWithTheSamePassword) {
    Harness h;
    h.console.secrets = {"pw", "pw"};
    EXPECT_EQ(CmdQuickEncrypt(h.ctx, {"E:", true, {}}), kExitOk) << h.err.str();
    EXPECT_EQ(h.backend.Changes(), (std::vector<std::string>{"QuickEncryptDrive \\\\.\\E:", "UnlockDrive E: 0"}));
    EXPECT_EQ(h.backend.lastPassword, "pw");

    Harness f;
    h.backend.drives['E'].status = 0xC0001;
    EXPECT_EQ(CmdFormat(f.ctx, {"E:", "FAT", "MY DISK", true}), kExitOk);
    EXPECT_EQ(f.backend.formatted, "E FAT MY DISK");
}

}  // namespace
}  // namespace tarnctl::testing
