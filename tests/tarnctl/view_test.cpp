// open and close: what they refuse before anything is mounted, where views
// go, and the service's refusal to lock under an open view reaching the user.
#include <gtest/gtest.h>

#include <filesystem>

#include "fake_backend.h"
#include "tools/tarnctl/commands.h"

namespace tarnctl::testing {
namespace {

bool Has(const std::ostringstream& s, const std::string& text) { return s.str().find(text) != std::string::npos; }

TEST(OpenView, RefusesWhatCannotOrNeedNotBeMountedAndMountsNothing) {
    struct Case {
        const char* what;
        const char* drive;
        const char* directory;
        uint32_t status;
        const char* openIn;  // an open view's directory, or null
        int exit;
        const char* says;
        bool interrupted = false;
    } cases[] = {
        {"a locked drive", "E:", "", 0x20002, nullptr, kExitFailed, "unlock it first"},
        {"a drive whose conversion was cut short", "E:", "", 0x10000, nullptr, kExitFailed, "tarnctl resume E:", true},
        {"a bad drive name", "E?", "", 0x10000, nullptr, kExitBadInput, "not a drive name"},
        {"a drive the machine lacks", "Q:", "", 0x10000, nullptr, kExitBadInput, "no drive Q:"},
        {"open again in the same place", "E:", "/v/e", 0x10000, "/v/e", kExitOk, "already open in /v/e"},
        {"open again, no place named", "e", "", 0x10000, "/v/e", kExitOk, "already open in /v/e"},
        {"open again elsewhere", "E:", "/v/other", 0x10000, "/v/e", kExitFailed, "tarnctl close E:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        h.backend.drives['E'].status = c.status;
        if (c.openIn) h.backend.views['E'] = c.openIn;
        if (c.interrupted) h.backend.conversions["\\\\.\\E:"] = CONVERSION_STATE{};
        EXPECT_EQ(CmdOpen(h.ctx, ViewOptions{c.drive, c.directory}), c.exit);
        EXPECT_TRUE(Has(h.err, c.says) || Has(h.out, c.says)) << h.out.str() << h.err.str();
        for (const auto& call : h.backend.viewCalls) EXPECT_NE(call.rfind("open", 0), 0u) << call;
        EXPECT_TRUE(h.backend.Changes().empty());
    }
}

TEST(OpenView, DirectoriesReachTheViewAbsolute) {
    const std::string cwd = std::filesystem::current_path().string();
    struct Case {
        const char* given;
        std::string expected;
    } cases[] = {
        {"", "/home/u/Tarnvault/E"},
        {"files", cwd + "/files"},
        {"a/../b/./c", cwd + "/b/c"},
        {"/mnt/x/", "/mnt/x/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.given);
        Harness h;
        h.backend.drives['E'].status = 0xC0001;  // unlocked
        ASSERT_EQ(CmdOpen(h.ctx, ViewOptions{"E:", c.given}), kExitOk) << h.err.str();
        ASSERT_EQ(h.backend.viewCalls.size(), 1u);
        EXPECT_EQ(h.backend.viewCalls[0], "open E " + c.expected);
        EXPECT_TRUE(Has(h.out, "Drive E: is open in " + c.expected)) << h.out.str();
    }
}

TEST(OpenView, RefusalOfTheMountIsAFailureThatSaysWhy) {
    Harness h;
    h.backend.openRefusal = "E: has no file system that can be opened (FAT or ext2/3/4); is it locked?";
    EXPECT_EQ(CmdOpen(h.ctx, ViewOptions{"E:", "/v/e"}), kExitFailed);
    EXPECT_TRUE(Has(h.err, "tarnctl: E: has no file system")) << h.err.str();
    EXPECT_FALSE(Has(h.out, "is open"));
}

TEST(CloseView, NothingOpenIsSuccessAndARefusalKeepsTheView) {
    Harness h;
    EXPECT_EQ(CmdClose(h.ctx, "E:"), kExitOk);
    EXPECT_TRUE(Has(h.out, "is not open"));
    EXPECT_TRUE(h.backend.viewCalls.empty()) << "closed what was not open";

    h.backend.views['E'] = "/v/e";
    h.backend.closeRefusal = "E: is in use: files under /v/e are open; close them and try again";
    EXPECT_EQ(CmdClose(h.ctx, "E:"), kExitFailed);
    EXPECT_TRUE(Has(h.err, "files under /v/e are open")) << h.err.str();
    EXPECT_FALSE(Has(h.out, "is closed"));

    h.backend.closeRefusal.clear();
    EXPECT_EQ(CmdClose(h.ctx, "e:"), kExitOk);
    EXPECT_TRUE(Has(h.out, "Drive E: is closed"));
    EXPECT_TRUE(h.backend.views.empty());
    EXPECT_EQ(CmdClose(h.ctx, "E:x"), kExitBadInput);
}

TEST(ViewsInUse, OnlyTheServiceRefusalForAnOpenViewShowsItsMessage) {
    struct Case {
        long result;
        bool shows;
    } cases[] = {{32, true}, {5, false}, {170, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.result);
        Harness h;
        h.backend.drives['E'].status = 0xC0001;
        h.backend.lockResult = c.result;
        h.backend.message = "E: is in use: files under /v/e are open; close them and try again";
        EXPECT_EQ(CmdLock(h.ctx, DriveOptions{"E:", false, {}}), kExitFailed);
        EXPECT_EQ(Has(h.err, "files under /v/e are open"), c.shows) << h.err.str();
    }
}

}  // namespace
}  // namespace tarnctl::testing
