// Where a password comes from: a prompt without echo (twice for a new
// password), a file (--password-file) or standard input (--password-stdin);
// never the command line, where other users could read it.
#pragma once

#include <string>

#include "tools/tarnctl/context.h"
#include "tools/tarnctl/secret.h"

namespace tarnctl {

struct PasswordSource {
    std::string file;       // --password-file
    bool fromStdin = false; // --password-stdin
};

enum class PasswordUse {
    kExisting,  // unlocking or decrypting: asked once
    kNew,       // encrypting: asked twice on a prompt
};

// Only the first 32 bytes of a password make the key; a new password longer
// than that would look stronger than it is, so it is refused.
constexpr size_t kNewPasswordMax = 32;
// The service keeps at most 127 bytes of a password.
constexpr size_t kExistingPasswordMax = 127;

inline constexpr const char* kMismatchMessage = "The confrim password is not the equal to the password you input!";

// Reads the password into `password`. Returns kExitOk, or kExitBadInput
// after a message (no source, empty, too long, a NUL byte, unreadable file,
// no agreement after three tries).
int ReadPassword(Context& ctx, const PasswordSource& source, PasswordUse use, Secret* password);

// A command reads a password in two steps: a file or standard input at
// once, so a bad password stops it before anything is sent; a prompt only
// once the drive's state and the confirmation allow the operation. Each
// step does nothing for the other kind of source.
int ReadPasswordEarly(Context& ctx, const PasswordSource& source, PasswordUse use, Secret* password);
int ReadPasswordLate(Context& ctx, const PasswordSource& source, PasswordUse use, Secret* password);

// One line from a file descriptor, without its line end; false when the
// read fails. Stops at the first line break; longer input marks the secret
// overlong.
bool ReadSecretLine(int fd, Secret* password);

}  // namespace tarnctl
