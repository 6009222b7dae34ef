// Following a conversion: the bar, the plain lines, the end of the polling
// whether the conversion succeeds, fails, or its service goes away.
#include <gtest/gtest.h>

#include <csignal>

#include "fake_backend.h"
#include "tools/tarnctl/commands.h"
#include "tools/tarnctl/progress.h"

namespace tarnctl::testing {
namespace {

TEST(ProgressBar, RendersClampedPercentages) {
    EXPECT_EQ(RenderBar(0, 10), "[..........]   0%");
    EXPECT_EQ(RenderBar(45, 10), "[####......]  45%");
    EXPECT_EQ(RenderBar(100, 10), "[##########] 100%");
    EXPECT_EQ(RenderBar(-3, 10), "[..........]   0%");
    EXPECT_EQ(RenderBar(1722, 10), "[##########] 100%");
}

TEST(ProgressLines, ShowEachChangeOnceAndNeverAFailedCallsCode) {
    std::ostringstream out;
    ProgressDisplay display(out, false);
    for (long p : {0L, 0L, 5L, 1722L, 5L, 50L, -1L}) display.Update(p);
    display.Finish(true);
    EXPECT_EQ(out.str(), "progress 0%\nprogress 5%\nprogress 50%\nprogress 100%\n");

    std::ostringstream bar;
    ProgressDisplay terminal(bar, true);
    terminal.Update(10);
    terminal.Finish(false);
    EXPECT_EQ(bar.str(), "\r" + RenderBar(10, 40) + "\n");
}

TEST(ConversionPolling, EndsWithTheResultAndTheServicesMessage) {
    {
        Harness h;
        h.backend.progress = {0, 30, 60};
        EXPECT_EQ(CmdEncrypt(h.ctx, {"E:", true, {}}), kExitBadInput) << "no password source: nothing started";
    }
    Harness h;
    h.console.secrets = {"pw", "pw"};
    h.backend.progress = {0, 30, 60};
    EXPECT_EQ(CmdEncrypt(h.ctx, {"E:", true, {}}), kExitOk) << h.err.str();
    EXPECT_NE(h.out.str().find("progress 30%"), std::string::npos);
    EXPECT_NE(h.out.str().find("Encrypt disk complete!"), std::string::npos);
    EXPECT_EQ(h.backend.sleeps, 3) << "one wait per unfinished poll";
    EXPECT_EQ(h.backend.lastPassword, "pw");

    Harness failing;
    failing.backend.drives['E'].status = 0xC0001;
    failing.backend.progress = {0};
    failing.backend.result = 0x1D;
    failing.backend.message = "Tarnvault has encounter an error 1D while writing this drive !";
    EXPECT_EQ(CmdDecrypt(failing.ctx, {"E:", true, {}}), kExitFailed);
    EXPECT_NE(failing.err.str().find(failing.backend.message), std::string::npos);
    EXPECT_EQ(failing.out.str().find("complete"), std::string::npos) << "a failure is never reported as success";
}

TEST(ConversionPolling, ServiceThatGoesAwayEndsThePollingInsteadOfHanging) {
    Harness h;
    h.backend.drives['E'].status = 0xC0001;
    h.backend.serviceGoesAway = true;
    EXPECT_EQ(CmdDecrypt(h.ctx, {"E:", true, {}}), kExitUnreachable);
    EXPECT_EQ(h.backend.sleeps, kPollsBeforeLost - 1);
    EXPECT_NE(h.err.str().find("stopped answering"), std::string::npos);
}

TEST(ConversionPolling, InterruptStopsTheFollowingAndSaysTheConversionGoesOn) {
    struct RaisingBackend : FakeBackend {
        void Sleep(unsigned) override { std::raise(SIGINT); }
    };
    RaisingBackend backend;
    backend.drives['E'] = FakeDrive{kDriveFixed, 0xC0001};
    backend.progress = {10, 20, 30};
    ScriptedConsole console;
    std::ostringstream out, err;
    Context ctx{backend, console, out, err, false};
    EXPECT_EQ(CmdDecrypt(ctx, {"E:", true, {}}), kExitInterrupted);
    EXPECT_NE(err.str().find("goes on in the service"), std::string::npos);
    struct sigaction now {};
    ::sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL) << "the previous handler is given back";
}

TEST(ConversionPolling, FailedStartIsNotPolled) {
    Harness h;
    h.console.secrets = {"pw", "pw"};
    h.backend.startResult = 170;
    EXPECT_EQ(CmdEncrypt(h.ctx, {"E:", true, {}}), kExitFailed);
    EXPECT_NE(h.err.str().find("Can't encrypt this drive, error code AA"), std::string::npos) << h.err.str();
    for (const auto& c : h.backend.calls) EXPECT_NE(c, "GetFinished");
}

}  // namespace
}  // namespace tarnctl::testing
