// resume, pause and the interrupted state in status: the password is
// refused or confirmed before anything converts, nothing is sent for a
// drive without a journal, and a paused conversion is not taken for a
// finished one.
#include <gtest/gtest.h>

#include "fake_backend.h"
#include "tools/tarnctl/cmd_status.h"
#include "tools/tarnctl/commands.h"

namespace tarnctl::testing {
namespace {

CONVERSION_STATE Interrupted(bool encrypt, uint64_t done, uint64_t count) {
    CONVERSION_STATE s{};
    s.Encrypt = encrypt ? 1 : 0;
    s.ChunksDone = done;
    s.ChunkCount = count;
    s.Percent = uint32_t(done * 100 / count);
    return s;
}

TEST(InterruptedStatus, ShownInPlaceOfTheStatusWordInTableAndJson) {
    Harness h;
    h.backend.drives['E'].status = 0x20002;
    h.backend.conversions["\\\\.\\E:"] = Interrupted(true, 37, 100);
    ASSERT_EQ(CmdStatus(h.ctx, {"", false}), kExitOk);
    EXPECT_NE(h.out.str().find("Interrupted: 37% encrypted"), std::string::npos) << h.out.str();
    EXPECT_EQ(h.out.str().find("encrypted, locked"), std::string::npos) << h.out.str();

    Harness j;
    j.backend.conversions["\\\\.\\E:"] = Interrupted(false, 1, 3);
    ASSERT_EQ(CmdStatus(j.ctx, {"E:", true}), kExitOk);
    EXPECT_NE(j.out.str().find("\"state\": \"Interrupted: 33% decrypted\""), std::string::npos) << j.out.str();
    EXPECT_NE(j.out.str().find("\"interrupted\": true"), std::string::npos) << j.out.str();

    // While the worker converts it, the drive is not shown as cut short.
    Harness r;
    CONVERSION_STATE running = Interrupted(true, 5, 10);
    running.Running = 1;
    r.backend.conversions["\\\\.\\E:"] = running;
    ASSERT_EQ(CmdStatus(r.ctx, {"E:", false}), kExitOk);
    EXPECT_EQ(r.out.str().find("Interrupted"), std::string::npos) << r.out.str();
}

TEST(ResumePassword, WrongRefusedUnverifiableNeedsAYesNothingSentWithoutAJournal) {
    struct Case {
        const char* what;
        bool journal;
        std::deque<long> answers;
        bool yes;
        std::vector<std::string> lines;  // answers to the question
        int expected;
        std::vector<std::string> calls;
    } cases[] = {
        {"no journal", false, {}, true, {}, kExitFailed, {}},
        {"wrong password", true, {86}, true, {}, kExitFailed, {"ResumeConversion \\\\.\\E: 0"}},
        {"unverifiable, answered no", true, {1246}, false, {"n"}, kExitNotConfirmed,
         {"ResumeConversion \\\\.\\E: 0"}},
        {"unverifiable, --yes", true, {1246, 0}, true, {}, kExitOk,
         {"ResumeConversion \\\\.\\E: 0", "ResumeConversion \\\\.\\E: 1"}},
        {"right password", true, {0}, false, {}, kExitOk, {"ResumeConversion \\\\.\\E: 0"}},
    };
    for (const auto& c : cases) {
        Harness h;
        if (c.journal) h.backend.conversions["\\\\.\\E:"] = Interrupted(true, 3, 10);
        h.backend.resumeResults = c.answers;
        h.console.secrets = {"pw"};
        h.console.lines = {c.lines.begin(), c.lines.end()};
        EXPECT_EQ(CmdResume(h.ctx, {"E:", c.yes, {}}), c.expected) << c.what << ": " << h.err.str();
        std::vector<std::string> resumes;
        for (const auto& call : h.backend.Changes())
            if (call.rfind("Resume", 0) == 0) resumes.push_back(call);
        EXPECT_EQ(resumes, c.calls) << c.what;
    }
}

TEST(ResumePassword, NothingConvertedYetAsksTheNewPasswordTwice) {
    Harness h;
    h.backend.conversions["\\\\.\\E:"] = Interrupted(true, 0, 10);
    h.console.secrets = {"one", "two"};
    EXPECT_NE(CmdResume(h.ctx, {"E:", true, {}}), kExitOk) << "two different entries must not be taken";
    EXPECT_TRUE(h.backend.Changes().empty());
}

TEST(Pause, NothingRunningIsAFailureAndAPausedConversionIsNotReportedDone) {
    Harness none;
    none.backend.pauseResult = 1168;
    EXPECT_EQ(CmdPause(none.ctx), kExitFailed);

    Harness h;
    h.backend.conversions["\\\\.\\E:"] = Interrupted(true, 3, 10);
    h.console.secrets = {"pw"};
    h.backend.result = 995;  // ERROR_OPERATION_ABORTED: paused
    h.backend.message = "The conversion is paused at 40%; resume it to finish.";
    EXPECT_EQ(CmdResume(h.ctx, {"E:", true, {}}), kExitFailed);
    EXPECT_EQ(h.out.str().find("complete"), std::string::npos) << h.out.str();
    EXPECT_NE(h.err.str().find("paused at 40%"), std::string::npos) << h.err.str();
}

}  // namespace
}  // namespace tarnctl::testing
