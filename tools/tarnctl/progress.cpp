#include "tools/tarnctl/progress.h"

#include <csignal>
#include <cstdio>

namespace tarnctl {

std::string RenderBar(int percent, int width) {
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    const int filled = percent * width / 100;
    std::string s = "[";
    s.append(static_cast<size_t>(filled), '#');
    s.append(static_cast<size_t>(width - filled), '.');
    char tail[16];
    std::snprintf(tail, sizeof tail, "] %3d%%", percent);
    return s + tail;
}

void ProgressDisplay::Update(long percent) {
    if (percent < 0 || percent > 100 || percent == shown_) return;
    shown_ = static_cast<int>(percent);
    if (bar_) {
        out_ << '\r' << RenderBar(shown_, 40) << std::flush;
    } else {
        out_ << "progress " << shown_ << "%\n" << std::flush;
    }
}

void ProgressDisplay::Finish(bool complete) {
    if (complete) Update(100);
    if (bar_ && shown_ >= 0) out_ << '\n' << std::flush;
}

namespace {

volatile std::sig_atomic_t gInterrupted = 0;

void OnInterrupt(int) { gInterrupted = 1; }

// Catches SIGINT and SIGTERM while a conversion is followed, and gives the
// previous handlers back afterwards.
class InterruptGuard {
public:
    InterruptGuard() {
        gInterrupted = 0;
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, &savedInt_);
        ::sigaction(SIGTERM, &action, &savedTerm_);
    }
    ~InterruptGuard() {
        ::sigaction(SIGINT, &savedInt_, nullptr);
        ::sigaction(SIGTERM, &savedTerm_, nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    struct sigaction savedInt_ {}, savedTerm_ {};
};

}  // namespace

ConversionOutcome FollowConversion(Context& ctx) {
    InterruptGuard guard;
    ConversionOutcome outcome;
    ProgressDisplay display(ctx.out, ctx.outIsTerminal);
    int unanswered = 0;
    for (;;) {
        const long progress = ctx.backend.GetProgress();
        if (ctx.backend.GetFinished() != 0) {
            outcome.result = ctx.backend.GetResult();
            display.Update(progress);
            display.Finish(outcome.result == 0);
            if (outcome.result != 0) outcome.message = ctx.backend.LastMessage();
            return outcome;
        }
        // A failed call gives its code in place of the percentage; whether
        // the service is gone, a ping tells.
        if (progress >= 0 && progress <= 100) {
            unanswered = 0;
            display.Update(progress);
        } else if (const long ping = ctx.backend.Ping(); ping != 0) {
            outcome.lostError = static_cast<uint32_t>(ping);
            if (++unanswered >= kPollsBeforeLost) {
                display.Finish(false);
                outcome.serviceLost = true;
                return outcome;
            }
        }
        ctx.backend.Sleep(kPollMilliseconds);
        if (gInterrupted) {
            display.Finish(false);
            outcome.interrupted = true;
            return outcome;
        }
    }
}

int FinishConversion(Context& ctx, const std::string& done, const std::string& interrupted) {
    const ConversionOutcome outcome = FollowConversion(ctx);
    if (outcome.interrupted) {
        ctx.err << "tarnctl: stopped following; the conversion goes on in the service (tarnctl pause stops it "
                   "at a chunk boundary, tarnctl status shows the drive's state)\n";
        return kExitInterrupted;
    }
    if (outcome.serviceLost) {
        ctx.err << "tarnctl: the service stopped answering during the conversion ("
                << ErrorCodeText(ctx, outcome.lostError) << "); " << interrupted << "\n";
        return kExitUnreachable;
    }
    if (outcome.result == kPausedResult) {
        // The service's message says where; the journal keeps the rest.
        ctx.err << (outcome.message.empty() ? "The conversion is paused." : outcome.message) << "\n";
        ctx.err << "tarnctl: paused; finish it with tarnctl resume\n";
        return kExitFailed;
    }
    if (outcome.result != 0) {
        if (!outcome.message.empty()) ctx.err << outcome.message << "\n";
        ctx.err << "tarnctl: the conversion failed, " << ErrorCodeText(ctx, static_cast<uint32_t>(outcome.result))
                << "; " << interrupted << "\n";
        return kExitFailed;
    }
    ctx.out << done << "\n";
    return kExitOk;
}

}  // namespace tarnctl
