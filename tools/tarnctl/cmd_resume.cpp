// resume and pause: finishing a conversion that was cut short (a crash, a
// power cut, a pause) from the service's journal, and pausing the running
// one at its next durable step.
#include <cstdio>

#include "service/win32.h"
#include "tools/tarnctl/cmd_status.h"
#include "tools/tarnctl/commands.h"
#include "tools/tarnctl/progress.h"
#include "tools/tarnctl/validate.h"

namespace tarnctl {

namespace {

// The journal's name for what the user gave: a drive's device path, or the
// image file's absolute path.
int ResumeTarget(Context& ctx, const std::string& argument, std::string* target, bool* image) {
    char letter = 0;
    if (ParseDriveName(argument, &letter)) {
        if (int status = RequireDrive(ctx, argument, &letter); status != kExitOk) return status;
        *target = DevicePath(letter);
        *image = false;
        return kExitOk;
    }
    std::string why;
    if (!AbsoluteFilePath(argument, target, &why)) {
        ctx.err << "tarnctl: " << why << "\n";
        return kExitBadInput;
    }
    *image = true;
    return kExitOk;
}

}  // namespace

int CmdResume(Context& ctx, const ResumeOptions& options) {
    std::string target;
    bool image = false;
    if (int status = ResumeTarget(ctx, options.target, &target, &image); status != kExitOk) return status;
    if (int status = RequireService(ctx); status != kExitOk) return status;
    CONVERSION_STATE state{};
    const long found = ctx.backend.QueryConversion(target, &state);
    if (found != 0) {
        if (found == ERROR_NOT_FOUND) {
            ctx.err << "tarnctl: " << Printable(options.target) << " has no interrupted conversion to resume\n";
        } else {
            ctx.err << "tarnctl: cannot read the conversion state, " << ErrorCodeText(ctx, static_cast<uint32_t>(found))
                    << "\n";
        }
        return kExitFailed;
    }
    if (state.Running) {
        ctx.err << "tarnctl: the conversion of " << Printable(options.target) << " is running\n";
        return kExitFailed;
    }
    ctx.out << Printable(options.target) << ": " << DescribeInterrupted(state) << "\n";
    // Nothing stored under the password yet: it becomes the medium's new one,
    // so it is asked twice like any new password.
    const bool fresh = state.Encrypt && state.ChunksDone == 0;
    const PasswordUse use = fresh ? PasswordUse::kNew : PasswordUse::kExisting;
    Secret password;
    if (int status = ReadPasswordEarly(ctx, options.password, use, &password); status != kExitOk) return status;
    if (int status = ReadPasswordLate(ctx, options.password, use, &password); status != kExitOk) return status;
    long started = ctx.backend.ResumeConversion(target, password.c_str(), 0);
    if (started == TARNSVC_RESUME_UNVERIFIED) {
        if (int status = Confirm(ctx,
                                 "The password cannot be checked: no file system was recognised on this medium. "
                                 "A wrong password would garble what is left to convert. Resume with it?",
                                 options.yes);
            status != kExitOk) {
            return status;
        }
        started = ctx.backend.ResumeConversion(target, password.c_str(), 1);
    }
    password.Clear();
    if (started == ERROR_INVALID_PASSWORD) {
        ctx.err << "tarnctl: the password is wrong; nothing was written\n";
        return kExitFailed;
    }
    if (started != 0) {
        const std::string message = ctx.backend.LastMessage();
        if (!message.empty()) ctx.err << message << "\n";
        ctx.err << "tarnctl: cannot resume, " << ErrorCodeText(ctx, static_cast<uint32_t>(started)) << "\n";
        return kExitFailed;
    }
    const char* done = image ? (state.Encrypt ? "Encrypt cd/dvd image complete!" : "Decrypt cd/dvd image complete!")
                             : (state.Encrypt ? "Encrypt disk complete!" : "Decrypt disk complete!");
    return FinishConversion(ctx, done, "resume it again to finish");
}

int CmdPause(Context& ctx) {
    if (int status = RequireService(ctx); status != kExitOk) return status;
    const long result = ctx.backend.PauseConversion();
    if (result == ERROR_NOT_FOUND) {
        ctx.err << "tarnctl: no conversion is running\n";
        return kExitFailed;
    }
    if (result != 0) {
        ctx.err << "tarnctl: cannot pause, " << ErrorCodeText(ctx, static_cast<uint32_t>(result)) << "\n";
        return kExitFailed;
    }
    ctx.out << "The conversion pauses at its next chunk boundary; finish it with: tarnctl resume\n";
    return kExitOk;
}

}  // namespace tarnctl
