// Following a conversion that runs in the service: poll SvcGetProgress and
// SvcGetFinished every 500 ms, show the progress (a bar on a terminal, a
// line per change otherwise), and at the end read SvcGetResult and, on
// failure, the service's message.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "tools/tarnctl/context.h"

namespace tarnctl {

constexpr unsigned kPollMilliseconds = 500;
// Polls in a row without an answer after which the service counts as gone.
// A service that stops ends its process, and with it the conversion; one that
// starts again knows nothing of it, so waiting on would never end.
constexpr int kPollsBeforeLost = 6;
// The result of a conversion stopped by tarnctl pause (ERROR_OPERATION_ABORTED).
constexpr long kPausedResult = 995;

// "[#########...........]  45%" for a width of 20 cells.
std::string RenderBar(int percent, int width);

class ProgressDisplay {
public:
    ProgressDisplay(std::ostream& out, bool bar) : out_(out), bar_(bar) {}
    // Values outside 0..100 (a failed call's code) are not shown.
    void Update(long percent);
    // Ends the bar's line; `complete` shows 100 first.
    void Finish(bool complete);

private:
    std::ostream& out_;
    bool bar_;
    int shown_ = -1;
};

struct ConversionOutcome {
    bool interrupted = false;   // SIGINT or SIGTERM: tarnctl stopped following
    bool serviceLost = false;   // the service stopped answering before the end
    uint32_t lostError = 0;     // the code of the last failed call then
    long result = 0;            // SvcGetResult
    std::string message;        // SvcGetLastMessage when result is not 0
};

// Polls until the end. An interrupt (Ctrl-C) ends the following, not the
// conversion, which goes on (tarnctl pause stops it); the caller says so.
ConversionOutcome FollowConversion(Context& ctx);

// Follows the conversion and reports its end: `done` on success, else the
// service's message. Returns the exit status.
int FinishConversion(Context& ctx, const std::string& done, const std::string& interrupted);

}  // namespace tarnctl
