#include "tools/tarnctl/passwords.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarnctl {

bool Secret::Append(char c) {
    if (size_ >= kCapacity) {
        overlong_ = true;
        return false;
    }
    data_[size_++] = c;
    data_[size_] = '\0';
    return true;
}

void Secret::Clear() {
    explicit_bzero(data_, sizeof data_);
    size_ = 0;
    overlong_ = false;
}

bool Secret::Equals(const Secret& other) const {
    return size_ == other.size_ && std::memcmp(data_, other.data_, size_) == 0;
}

void Secret::TrimLineEnd() {
    if (size_ > 0 && data_[size_ - 1] == '\n') data_[--size_] = '\0';
    if (size_ > 0 && data_[size_ - 1] == '\r') data_[--size_] = '\0';
}

bool ReadSecretLine(int fd, Secret* password) {
    password->Clear();
    for (;;) {
        char c;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        if (c == '\n') break;
        if (!password->Append(c)) {
            // Drain the rest of the line so nothing of it is left for a later read.
            while (::read(fd, &c, 1) == 1 && c != '\n') {
            }
            break;
        }
    }
    password->TrimLineEnd();
    return true;
}

namespace {

// Checks what a password source gave; kExitOk or kExitBadInput.
int CheckPassword(Context& ctx, const Secret& password, PasswordUse use) {
    const size_t limit = use == PasswordUse::kNew ? kNewPasswordMax : kExistingPasswordMax;
    if (password.Overlong() || password.size() > limit) {
        ctx.err << "tarnctl: the password is too long: at most " << limit << " characters"
                << (use == PasswordUse::kNew ? " (only they make the key)" : "") << "\n";
        return kExitBadInput;
    }
    if (password.empty()) {
        ctx.err << "tarnctl: the password is empty\n";
        return kExitBadInput;
    }
    if (std::memchr(password.c_str(), '\0', password.size()) != nullptr) {
        ctx.err << "tarnctl: the password holds a NUL byte\n";
        return kExitBadInput;
    }
    return kExitOk;
}

int FromFile(Context& ctx, const std::string& path, Secret* password) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ctx.err << "tarnctl: cannot read the password file " << path << ": " << std::strerror(errno) << "\n";
        return kExitBadInput;
    }
    const bool ok = ReadSecretLine(fd, password);
    ::close(fd);
    if (!ok) {
        ctx.err << "tarnctl: cannot read the password file " << path << "\n";
        return kExitBadInput;
    }
    return kExitOk;
}

int FromPrompt(Context& ctx, PasswordUse use, Secret* password) {
    if (!ctx.console.CanAsk()) {
        ctx.err << "tarnctl: no terminal to ask for the password on; use --password-file FILE or --password-stdin\n";
        return kExitBadInput;
    }
    if (use == PasswordUse::kExisting) {
        if (!ctx.console.AskSecret("Enter The Password: ", password)) {
            ctx.err << "tarnctl: no password given\n";
            return kExitBadInput;
        }
        return CheckPassword(ctx, *password, use);
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        Secret confirmation;
        if (!ctx.console.AskSecret("Password: ", password) || !ctx.console.AskSecret("Confirm: ", &confirmation)) {
            ctx.err << "tarnctl: no password given\n";
            return kExitBadInput;
        }
        if (password->Equals(confirmation)) return CheckPassword(ctx, *password, use);
        ctx.err << kMismatchMessage << "\n";
    }
    password->Clear();
    return kExitBadInput;
}

}  // namespace

int ReadPassword(Context& ctx, const PasswordSource& source, PasswordUse use, Secret* password) {
    int status;
    if (!source.file.empty()) {
        status = FromFile(ctx, source.file, password);
    } else if (source.fromStdin) {
        status = ReadSecretLine(STDIN_FILENO, password) ? kExitOk : kExitBadInput;
        if (status != kExitOk) ctx.err << "tarnctl: cannot read the password from standard input\n";
    } else {
        return FromPrompt(ctx, use, password);
    }
    if (status == kExitOk) status = CheckPassword(ctx, *password, use);
    if (status != kExitOk) password->Clear();
    return status;
}

namespace {

bool FromPrompt(const PasswordSource& source) { return source.file.empty() && !source.fromStdin; }

}  // namespace

int ReadPasswordEarly(Context& ctx, const PasswordSource& source, PasswordUse use, Secret* password) {
    return FromPrompt(source) ? kExitOk : ReadPassword(ctx, source, use, password);
}

int ReadPasswordLate(Context& ctx, const PasswordSource& source, PasswordUse use, Secret* password) {
    return FromPrompt(source) ? ReadPassword(ctx, source, use, password) : kExitOk;
}

}  // namespace tarnctl
