#include "tests/ui/x_desktop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QSystemTrayIcon>
#include <QThread>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <vector>

#include "platform/ui/wnd.h"
#include "tests/tarnctl/live_machine.h"

namespace {

std::string g_missing = "the X display was not started";

// The full path of a program on PATH, empty when there is none.
std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    std::string candidate = folder + "/" + name;
    if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

pid_t Spawn(const std::vector<std::string>& argv, int keepFd = -1) {
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  // Goes with the test process, however that ends.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  for (int fd = 3; fd < 256; ++fd)
    if (fd != keepFd) ::close(fd);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execv(args[0], args.data());
  ::_exit(127);
}

void Stop(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  pid = -1;
}

class XDesktop : public ::testing::Environment {
 public:
  void SetUp() override {
    const std::string xvfb = FindProgram("Xvfb"), trayer = FindProgram("trayer");
    if (xvfb.empty() || trayer.empty()) {
      g_missing = std::string(xvfb.empty() ? "Xvfb (Debian package xvfb)" : "trayer (Debian package trayer)") +
                  " is not installed";
      return;
    }
    // Xvfb picks a free display number and writes it to the pipe.
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return;
    xvfb_ = Spawn({xvfb, "-displayfd", std::to_string(pipeFds[1]), "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
                  pipeFds[1]);
    ::close(pipeFds[1]);
    std::string number;
    char c;
    while (::read(pipeFds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(pipeFds[0]);
    if (number.empty()) {
      g_missing = "Xvfb did not start";
      return;
    }
    ::setenv("DISPLAY", (":" + number).c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    // No session bus: Qt then docks its icon in the X tray itself.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
    trayer_ = Spawn({trayer, "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "32",
                     "--SetDockType", "true", "--transparent", "false"});

    static int argc = 1;
    static char name[] = "ui_tray_tests";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
    QElapsedTimer guard;
    guard.start();
    while (!QSystemTrayIcon::isSystemTrayAvailable() && guard.elapsed() < 15000) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
      QThread::msleep(50);
    }
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
      g_missing = "trayer started but no system tray appeared on display :" + number;
      return;
    }
    g_missing.clear();
  }
  void TearDown() override {
    if (app_) tarn::ui::PumpMessages();
    app_.reset();
    Stop(trayer_);
    Stop(xvfb_);
  }

 private:
  pid_t xvfb_ = -1, trayer_ = -1;
  std::unique_ptr<QApplication> app_;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new XDesktop);

unsigned long FieldOf(const std::string& text, const std::string& field) {
  size_t at = text.find(field);
  if (at == std::string::npos) return 0;
  return std::strtoul(text.c_str() + at + field.size(), nullptr, 16);
}

std::string WindowInfo(unsigned long window) {
  const std::string xwininfo = FindProgram("xwininfo");
  if (xwininfo.empty()) return "";
  char id[32];
  std::snprintf(id, sizeof id, "0x%lx", window);
  return tarnctl::testing::RunProgram(xwininfo, {"-id", id, "-children"}).output;
}

}  // namespace

namespace tarn::ui::testing {

const std::string& DesktopMissing() { return g_missing; }

unsigned long XParentWindow(unsigned long window) { return FieldOf(WindowInfo(window), "Parent window id: "); }

unsigned long XRootWindow() {
  const std::string xwininfo = FindProgram("xwininfo");
  if (xwininfo.empty()) return 0;
  return FieldOf(tarnctl::testing::RunProgram(xwininfo, {"-root"}).output, "Window id: ");
}

}  // namespace tarn::ui::testing
