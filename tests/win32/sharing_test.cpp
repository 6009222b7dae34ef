#include <windows.h>

#include <fstream>
#include <string>

#include "test_support.h"

namespace {

class Sharing : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    file_ = Path("shared");
    std::ofstream(file_) << "payload";
  }
  HANDLE Open(DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING) {
    return CreateFileA(file_.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  std::string Content() {
    std::ifstream in(file_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string file_;
};

constexpr DWORD R = GENERIC_READ, W = GENERIC_WRITE, RW = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE, SD = FILE_SHARE_DELETE;

struct ShareCase {
  DWORD firstAccess, firstShare, secondAccess, secondShare;
  bool secondOpens;
};

// Both directions matter: the new access against the old sharing, and the
// old access against the new sharing.
const ShareCase kCases[] = {
    {R, SR, R, SR, true},
    {R, 0, R, SR | SW, false},
    {R, SR, W, SR | SW, false},
    {R, SR | SW, W, SR | SW, true},
    {W, SR | SW, R, SR, false},  // the second would deny the first's write
    {W, SR, R, SR | SW, true},
    {RW, SR | SW, RW, SR | SW, true},
    {RW, SR, R, SR | SW, true},
    {RW, SR, RW, SR, false},
    {0, 0, RW, 0, true},  // an open without data access takes part in no check
    {R, SR | SW | SD, DELETE, SR | SW | SD, true},
    {R, SR | SW, DELETE, SR | SW | SD, false},
};

TEST_F(Sharing, ViolationsWithinOneProcessFollowBothDirections) {
  for (const auto& c : kCases) {
    HANDLE first = Open(c.firstAccess, c.firstShare);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    HANDLE second = Open(c.secondAccess, c.secondShare);
    EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.secondOpens)
        << std::hex << c.firstAccess << "/" << c.firstShare << " then " << c.secondAccess << "/" << c.secondShare;
    if (second == INVALID_HANDLE_VALUE) EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    else CloseHandle(second);
    CloseHandle(first);
  }
  // Closing releases: an exclusive open works once the others are gone.
  HANDLE exclusive = Open(RW, 0);
  EXPECT_NE(exclusive, INVALID_HANDLE_VALUE);
  CloseHandle(exclusive);
}

TEST_F(Sharing, ViolationsAcrossProcessesFollowTheSameRules) {
  for (const auto& c : kCases) {
    HANDLE first = Open(c.firstAccess, c.firstShare);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    int status = RunInChild([&] {
      HANDLE second = Open(c.secondAccess, c.secondShare);
      return second != INVALID_HANDLE_VALUE ? 0 : static_cast<int>(GetLastError());
    });
    EXPECT_EQ(status, c.secondOpens ? 0 : int(ERROR_SHARING_VIOLATION))
        << std::hex << c.firstAccess << "/" << c.firstShare << " then " << c.secondAccess << "/" << c.secondShare;
    CloseHandle(first);
  }
}

TEST_F(Sharing, ConvertingAFileAnotherProcessWritesFailsAndLeavesItWhole) {
  Pipe opened, done;
  pid_t writer = fork();
  if (writer == 0) {
    HANDLE h = Open(W, SR | SW);
    opened.Signal();
    done.Wait();
    _exit(h == INVALID_HANDLE_VALUE ? 1 : 0);
  }
  ASSERT_TRUE(opened.Wait());
  // An in-place conversion opens read/write sharing only reads.
  HANDLE convert = Open(RW, SR);
  EXPECT_EQ(convert, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  // Overwriting it is refused before anything is cut.
  HANDLE overwrite = Open(RW, 0, CREATE_ALWAYS);
  EXPECT_EQ(overwrite, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(Content(), "payload");
  EXPECT_FALSE(DeleteFileA(file_.c_str()));  // the writer shares no deletion
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  done.Signal();
  int status = 0;
  waitpid(writer, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The writer has gone; its announcements went with it.
  convert = Open(RW, SR);
  EXPECT_NE(convert, INVALID_HANDLE_VALUE);
  CloseHandle(convert);
}

TEST_F(Sharing, WriteOnlyOpensStillAnnounceTheirAccess) {
  HANDLE writer = Open(W, SR | SW);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  int status = RunInChild([&] {
    HANDLE reader = Open(R, SR);  // would deny the writer's write
    return reader != INVALID_HANDLE_VALUE ? 0 : static_cast<int>(GetLastError());
  });
  EXPECT_EQ(status, int(ERROR_SHARING_VIOLATION));
  CloseHandle(writer);
}

}  // namespace
