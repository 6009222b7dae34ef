// A temporary directory per test (also the machine directory), and running
// a piece of a test in a second process.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarn-win32-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("TARNVAULT_MACHINE", (dir_ + "/machine").c_str(), 1);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

// Runs `body` in a forked child and returns its exit status (0..255), or -1
// when the child died otherwise.
inline int RunInChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A one-shot signal between a parent and a forked child.
class Pipe {
 public:
  Pipe() {
    if (pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
  }
  ~Pipe() {
    close(fds_[0]);
    close(fds_[1]);
  }
  void Signal() { (void)!write(fds_[1], "x", 1); }
  bool Wait() {
    char c;
    return read(fds_[0], &c, 1) == 1;
  }

 private:
  int fds_[2];
};
