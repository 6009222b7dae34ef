#include "tools/tarnctl/console.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "tools/tarnctl/passwords.h"

namespace tarnctl {

namespace {

// The controlling terminal, opened for one question.
class Tty {
public:
    Tty() : fd_(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY)) {}
    ~Tty() {
        if (fd_ >= 0) ::close(fd_);
    }
    Tty(const Tty&) = delete;
    Tty& operator=(const Tty&) = delete;
    bool Open() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void Write(const std::string& text) const {
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }

private:
    int fd_;
};

// Turns echo off for its lifetime and back on afterwards, whatever happens.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd) {
        saved_ok_ = ::tcgetattr(fd_, &saved_) == 0;
        if (!saved_ok_) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(fd_, TCSAFLUSH, &quiet);
    }
    ~EchoOff() {
        if (saved_ok_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    int fd_;
    termios saved_{};
    bool saved_ok_ = false;
};

}  // namespace

bool TerminalConsole::CanAsk() { return Tty().Open(); }

bool TerminalConsole::AskLine(const std::string& prompt, std::string* answer) {
    Tty tty;
    if (!tty.Open()) return false;
    tty.Write(prompt);
    answer->clear();
    for (;;) {
        char c;
        const ssize_t n = ::read(tty.fd(), &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return !answer->empty();
        if (c == '\n') return true;
        if (answer->size() < 256) answer->push_back(c);
    }
}

bool TerminalConsole::AskSecret(const std::string& prompt, Secret* secret) {
    Tty tty;
    if (!tty.Open()) return false;
    tty.Write(prompt);
    EchoOff quiet(tty.fd());
    return ReadSecretLine(tty.fd(), secret);
}

}  // namespace tarnctl
