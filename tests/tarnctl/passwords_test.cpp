// Password sources: files and pipes give their first line without the line
// end; prompts ask twice for a new password; bad passwords never reach the
// service.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include "fake_backend.h"
#include "tools/tarnctl/commands.h"
#include "tools/tarnctl/passwords.h"

namespace tarnctl::testing {
namespace {

std::string WriteTemp(const std::string& content) {
    char pattern[] = "/tmp/tarnctl-pw-XXXXXX";
    const int fd = ::mkstemp(pattern);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
    return pattern;
}

TEST(PasswordLine, TakesTheFirstLineWithoutItsLineEnd) {
    struct Case {
        std::string input;
        std::string expected;
    } cases[] = {
        {"secret\n", "secret"},       {"secret\r\n", "secret"}, {"secret", "secret"},
        {"first\nsecond\n", "first"}, {"\n", ""},               {"with blank \n", "with blank "},
    };
    for (const auto& c : cases) {
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        ASSERT_EQ(::write(pipeFds[1], c.input.data(), c.input.size()), static_cast<ssize_t>(c.input.size()));
        ::close(pipeFds[1]);
        Secret s;
        ASSERT_TRUE(ReadSecretLine(pipeFds[0], &s));
        ::close(pipeFds[0]);
        EXPECT_EQ(std::string(s.c_str(), s.size()), c.expected) << c.input;
        EXPECT_FALSE(s.Overlong());
    }
}

TEST(PasswordLine, LongerThanTheBufferIsMarkedNotCut) {
    const std::string path = WriteTemp(std::string(Secret::kCapacity + 10, 'x') + "\n");
    Harness h;
    Secret s;
    EXPECT_EQ(ReadPassword(h.ctx, {path, false}, PasswordUse::kExisting, &s), kExitBadInput);
    EXPECT_TRUE(s.empty()) << "a refused password is wiped";
    ::unlink(path.c_str());
}

TEST(PasswordChecks, RefuseEmptyOverlongAndNulPasswords) {
    struct Case {
        const char* what;
        std::string content;
        PasswordUse use;
        int expected;
    } cases[] = {
        {"empty", "\n", PasswordUse::kExisting, kExitBadInput},
        {"empty file", "", PasswordUse::kNew, kExitBadInput},
        {"32 bytes new", std::string(32, 'a'), PasswordUse::kNew, kExitOk},
        {"33 bytes new: only 32 make the key", std::string(33, 'a'), PasswordUse::kNew, kExitBadInput},
        {"127 bytes existing", std::string(127, 'a'), PasswordUse::kExisting, kExitOk},
        {"128 bytes existing", std::string(128, 'a'), PasswordUse::kExisting, kExitBadInput},
        {"NUL inside", std::string("ab\0cd", 5), PasswordUse::kExisting, kExitBadInput},
    };
    for (const auto& c : cases) {
        const std::string path = WriteTemp(c.content);
        Harness h;
        Secret s;
        EXPECT_EQ(ReadPassword(h.ctx, {path, false}, c.use, &s), c.expected) << c.what;
        ::unlink(path.c_str());
    }
    Harness h;
    Secret s;
    EXPECT_EQ(ReadPassword(h.ctx, {"/nonexistent/pw", false}, PasswordUse::kExisting, &s), kExitBadInput);
}

TEST(PasswordPrompt, NewPasswordIsAskedTwiceAndAMismatchIsNeverUsed) {
    {
        Harness h;
        h.console.secrets = {"abc", "abC", "abc", "abc"};
        Secret s;
        EXPECT_EQ(ReadPassword(h.ctx, {}, PasswordUse::kNew, &s), kExitOk);
        EXPECT_STREQ(s.c_str(), "abc");
        EXPECT_NE(h.err.str().find(kMismatchMessage), std::string::npos) << "a confirmation differing in case is refused";
    }
    {
        Harness h;
        h.console.secrets = {"a", "b", "a", "b", "a", "b"};
        Secret s;
        EXPECT_EQ(ReadPassword(h.ctx, {}, PasswordUse::kNew, &s), kExitBadInput) << "three mismatches give up";
        EXPECT_TRUE(s.empty());
    }
    {
        Harness h;
        h.console.terminal = false;
        Secret s;
        EXPECT_EQ(ReadPassword(h.ctx, {}, PasswordUse::kExisting, &s), kExitBadInput) << "no terminal, no prompt";
        EXPECT_NE(h.err.str().find("--password-file"), std::string::npos);
    }
}

TEST(PasswordPrompt, BadPasswordStartsNoConversion) {
    Harness h;
    h.console.secrets = {"", ""};
    EXPECT_EQ(CmdEncrypt(h.ctx, {"E:", true, {}}), kExitBadInput);
    EXPECT_TRUE(h.backend.Changes().empty());

    Harness mismatch;
    mismatch.console.secrets = {"a", "b", "c", "d", "e", "f"};
    EXPECT_EQ(CmdQuickEncrypt(mismatch.ctx, {"E:", true, {}}), kExitBadInput);
    EXPECT_TRUE(mismatch.backend.Changes().empty());
}

TEST(PasswordPrompt, FilePasswordReachesTheServiceWhole) {
    const std::string path = WriteTemp("correct horse\n");
    Harness h;
    h.backend.drives['E'].status = 0x20002;
    h.backend.statusAfterUnlock = 0xC0001;
    EXPECT_EQ(CmdUnlock(h.ctx, {"E:", false, {path, false}}), kExitOk) << h.err.str();
    EXPECT_EQ(h.backend.lastPassword, "correct horse");
    ::unlink(path.c_str());
}

}  // namespace
}  // namespace tarnctl::testing
