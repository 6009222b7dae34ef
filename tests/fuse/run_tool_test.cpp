// The tools the views run (mount, fusefat, fusermount3) get nothing of the
// caller but their standard streams: a daemon they leave behind must not
// keep the caller's pipes open, or a script reading tarnctl's output waits
// for ever.
#include <gtest/gtest.h>

#include <unistd.h>

#include "platform/host/fuse/run_tool.h"

namespace {

using tarn::host::fuse::RunTool;

TEST(RunTool, ToolSeesOnlyItsStandardStreamsAndItsStatus) {
    int extra[2];
    ASSERT_EQ(::pipe(extra), 0);  // inheritable, as a caller's pipes often are
    std::string output;
    EXPECT_EQ(RunTool({"sh", "-c", "ls /proc/$$/fd"}, output), 0);
    EXPECT_EQ(output, "0\n1\n2") << "the tool inherited more than its streams";
    ::close(extra[0]);
    ::close(extra[1]);

    EXPECT_EQ(RunTool({"sh", "-c", "echo said; echo failed >&2; exit 3"}, output), 3);
    EXPECT_EQ(output, "said\nfailed");
    EXPECT_EQ(RunTool({"sh", "-c", "kill -9 $$"}, output), 128 + 9);
    EXPECT_EQ(RunTool({"no-such-tool-here"}, output), 127);
    EXPECT_FALSE(output.empty());
}

}  // namespace
