// What every command gets: the backend, the console for questions, the two
// output streams, and the shared steps (reaching the service, naming a
// drive, reporting an error) with the program's exit statuses.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "tools/tarnctl/backend.h"
#include "tools/tarnctl/console.h"

namespace tarnctl {

// Exit statuses, listed in --help.
enum ExitStatus : int {
    kExitOk = 0,           // done
    kExitFailed = 1,       // the service or the machine reported a failure, or the drive's state forbids it
    kExitBadInput = 2,     // bad input; nothing was sent to the service
    kExitUnreachable = 3,  // the machine or the service does not answer
    kExitNotConfirmed = 4, // the question was answered no (or could not be asked); nothing was done
    kExitInterrupted = 5,  // interrupted while following a conversion, which goes on in the service
};

struct Context {
    Backend& backend;
    Console& console;
    std::ostream& out;
    std::ostream& err;
    bool outIsTerminal = false;
};

// "\\.\X:", "X:" and "X:\" for a letter.
std::string DevicePath(char letter);
std::string DriveName(char letter);
std::string RootPath(char letter);

// "error code %X" with the system's text for it, when it has one.
std::string ErrorCodeText(Context& ctx, uint32_t code);

// Checks that the service answers a ping; otherwise says so and returns
// kExitUnreachable. Returns kExitOk when it answers.
int RequireService(Context& ctx);
// Checks that the machine answers; kExitOk or kExitUnreachable.
int RequireMachine(Context& ctx);
// Parses a drive name and checks that the machine has that drive:
// kExitOk with the upper-case letter, kExitBadInput, or kExitUnreachable.
int RequireDrive(Context& ctx, const std::string& argument, char* letter);

// The service refuses to lock, unmount or convert a drive while files under
// one of its Linux views are open (ERROR_SHARING_VIOLATION) and names the
// directory in its LastMessage; this prints that message for such a result.
void SayWhyAViewStaysOpen(Context& ctx, long result);

// Asks a yes/no question unless `assumeYes`; kExitOk for yes, else
// kExitNotConfirmed with a line saying why.
int Confirm(Context& ctx, const std::string& question, bool assumeYes);

}  // namespace tarnctl
