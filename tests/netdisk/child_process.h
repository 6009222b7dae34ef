// Runs a program for a test and stops it with SIGTERM when the test ends.
#pragma once

#include <string>
#include <vector>

namespace netdisk_test {

class ChildProcess {
 public:
  // Starts Argv[0] with its standard output readable through FirstLine().
  explicit ChildProcess(const std::vector<std::string>& Argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  // The first line the program printed ("" if it ended first or printed
  // nothing within TimeoutMs).
  std::string FirstLine(int TimeoutMs = 10000);
  // Sends SIGTERM and waits (up to TimeoutMs, then SIGKILL); returns the
  // exit status, or -1 when the program had to be killed or died of a signal.
  int Terminate(int TimeoutMs = 10000);

 private:
  int pid_ = -1;
  int stdoutFd_ = -1;
  int status_ = -2;  // -2: still running
};

// The port in "netdiskd: listening on HOST:PORT, ..." (0 when absent).
int ListeningPort(const std::string& Line);
// Path of a built program of this tree.
std::string BuiltProgram(const std::string& Relative);

}  // namespace netdisk_test
