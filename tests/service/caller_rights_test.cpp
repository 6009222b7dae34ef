// The service creates and converts image files with its caller's rights,
// although it runs as root here: a caller cannot reach a file through the
// service that he could not write himself.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "service_env.h"
#include "test_util.h"

namespace {

constexpr uid_t kNobody = 65534;

// Runs the helper as nobody, keeping group root so the machine's socket
// (owner and group only) stays reachable.
long AsNobody(const std::string& args) {
    ToolRun run = RunTool(std::string(TARN_BINARY_DIR) + "/tests/service/svc_as_user " + std::to_string(kNobody) +
                          " 0 " + args);
    EXPECT_EQ(run.Status, 0) << run.Output;
    long result = -1;
    if (std::sscanf(run.Output.c_str(), "result %ld", &result) != 1) ADD_FAILURE() << run.Output;
    return result;
}

TEST(CallerRights, OtherUsersFilesCannotBeCreatedOverwrittenOrConverted) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    TempDir dir;  // root's, mode 0755: nobody may not create files in it
    const std::string theirs = dir.File("root.img");
    std::vector<uint8_t> content(200000, 0x42);
    WriteAll(theirs, content);
    ::chmod(theirs.c_str(), 0644);

    EXPECT_EQ(AsNobody("create " + Quote(dir.File("new.img")) + " 67108864 0"), 5);
    EXPECT_EQ(FileSize(dir.File("new.img")), 0u);
    EXPECT_EQ(AsNobody("create " + Quote(theirs) + " 67108864 1"), 5);
    EXPECT_EQ(AsNobody("convert " + Quote(theirs) + " " + Quote(theirs) + " 1"), 5);
    EXPECT_EQ(AsNobody("convert " + Quote(theirs) + " " + Quote(dir.File("copy.img")) + " 1"), 5);
    EXPECT_EQ(ReadAll(theirs), content);

    // In a folder of his own the same caller succeeds, and the file is his.
    const std::string own = dir.File("nobody");
    ::mkdir(own.c_str(), 0755);
    ASSERT_EQ(::chown(own.c_str(), kNobody, 0), 0);
    EXPECT_EQ(AsNobody("create " + Quote(own + "/mine.img") + " 67108864 0"), 0);
    struct stat st {};
    ASSERT_EQ(::stat((own + "/mine.img").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(AsNobody("convert " + Quote(own + "/mine.img") + " " + Quote(own + "/mine.img") + " 1"), 0);
}

}  // namespace
