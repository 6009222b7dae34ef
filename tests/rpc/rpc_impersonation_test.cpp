// The server acts on files with its caller's rights, and only during the call.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "call_helpers.h"
#include "test_interface.h"

namespace tarn::rpc::test {
namespace {

constexpr uid_t kNobody = 65534;

// Runs the helper client as uid kNobody (group root, so that it may reach
// the 0660 socket) and returns its output line.
std::string RunAsNobody(const std::string& machine, const std::string& createPath) {
  const std::string helper = std::string(TARN_BINARY_DIR) + "/tests/rpc/rpc_test_client";
  int out[2];
  if (pipe(out) != 0) return "pipe failed";
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    if (setgroups(0, nullptr) != 0 || setgid(0) != 0 || setuid(kNobody) != 0) _exit(4);
    execl(helper.c_str(), helper.c_str(), machine.c_str(), createPath.c_str(), nullptr);
    _exit(5);
  }
  close(out[1]);
  std::string text;
  char buf[256];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof(buf))) > 0) text.append(buf, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "helper failed " + std::to_string(status);
  return text;
}

TEST(RpcImpersonation, CallerRightsApplyDuringTheCallAndEndWithIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch file-system identity";
  TestServer server(1);  // one call thread serves both callers below
  const std::string open = server.MachineDir() + "/open";
  const std::string closed = server.MachineDir() + "/closed";
  ASSERT_EQ(mkdir(open.c_str(), 0777), 0);
  chmod(open.c_str(), 0777);
  ASSERT_EQ(mkdir(closed.c_str(), 0700), 0);
  chmod(server.MachineDir().c_str(), 0755);

  // The file is created as the caller.
  EXPECT_EQ(RunAsNobody(server.MachineDir(), open + "/made"), "0 65534 0\n");
  struct stat st{};
  ASSERT_EQ(stat((open + "/made").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);

  // The caller's rights, not the service's, decide.
  EXPECT_EQ(RunAsNobody(server.MachineDir(), closed + "/made"), "0 65534 0\n");
  EXPECT_NE(access((closed + "/made").c_str(), F_OK), 0);

  // The routine left the thread impersonating; the runtime reverted it, so
  // the next caller (root) is seen as root.
  hyper uid = -1, gid = -1;
  EXPECT_EQ(Guarded([&] { return TestWhoAmI("", &uid, &gid); }), 0);
  EXPECT_EQ(uid, 0);
  EXPECT_EQ(gid, 0);
}

}  // namespace
}  // namespace tarn::rpc::test
