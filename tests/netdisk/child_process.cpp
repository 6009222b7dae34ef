#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

namespace netdisk_test {

ChildProcess::ChildProcess(const std::vector<std::string>& Argv) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    std::vector<char*> args;
    for (const auto& a : Argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return;
  }
  pid_ = pid;
  stdoutFd_ = fds[0];
}

ChildProcess::~ChildProcess() {
  Terminate();
  if (stdoutFd_ >= 0) close(stdoutFd_);
}

std::string ChildProcess::FirstLine(int TimeoutMs) {
  std::string line;
  char c;
  while (stdoutFd_ >= 0) {
    pollfd p{stdoutFd_, POLLIN, 0};
    if (poll(&p, 1, TimeoutMs) <= 0) break;
    if (read(stdoutFd_, &c, 1) != 1 || c == '\n') break;
    line.push_back(c);
  }
  return line;
}

int ChildProcess::Terminate(int TimeoutMs) {
  if (pid_ <= 0) return -1;
  if (status_ != -2) return status_;
  kill(pid_, SIGTERM);
  int waited = 0, raw = 0;
  for (;;) {
    pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) break;
    if (waited >= TimeoutMs) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &raw, 0);
      return status_ = -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    waited += 10;
  }
  return status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

int ListeningPort(const std::string& Line) {
  auto at = Line.find("listening on ");
  if (at == std::string::npos) return 0;
  auto colon = Line.find(':', at + 13);
  if (colon == std::string::npos) return 0;
  return atoi(Line.c_str() + colon + 1);
}

std::string BuiltProgram(const std::string& Relative) { return std::string(TARN_BINARY_DIR) + "/" + Relative; }

}  // namespace netdisk_test
