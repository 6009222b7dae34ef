#include "tools/tarnctl/context.h"

#include <cctype>
#include <cstdio>

#include "tools/tarnctl/validate.h"

namespace tarnctl {

std::string DevicePath(char letter) { return std::string("\\\\.\\") + letter + ':'; }
std::string DriveName(char letter) { return std::string(1, letter) + ':'; }
std::string RootPath(char letter) { return std::string(1, letter) + ":\\"; }

std::string ErrorCodeText(Context& ctx, uint32_t code) {
    char hex[32];
    std::snprintf(hex, sizeof hex, "error code %X", code);
    std::string text = hex;
    const std::string system = ctx.backend.ErrorText(code);
    if (!system.empty()) text += " (" + system + ")";
    return text;
}

int RequireService(Context& ctx) {
    const long result = ctx.backend.Ping();
    if (result == 0) return kExitOk;
    ctx.err << "tarnctl: the service tarnsvc does not answer, " << ErrorCodeText(ctx, static_cast<uint32_t>(result))
            << "; is the machine running (tarnhost run) with its service started?\n";
    return kExitUnreachable;
}

int RequireMachine(Context& ctx) {
    const uint32_t error = ctx.backend.MachineReachable();
    if (error == 0) return kExitOk;
    ctx.err << "tarnctl: the machine does not answer, " << ErrorCodeText(ctx, error)
            << "; start it with tarnhost run (or name it with --machine DIR)\n";
    return kExitUnreachable;
}

int RequireDrive(Context& ctx, const std::string& argument, char* letter) {
    if (!ParseDriveName(argument, letter)) {
        ctx.err << "tarnctl: \"" << Printable(argument) << "\" is not a drive name; write a letter and a colon, such as E:\n";
        return kExitBadInput;
    }
    if (int status = RequireMachine(ctx); status != kExitOk) return status;
    if (ctx.backend.GetDriveType(*letter) == kDriveNoRootDir) {
        ctx.err << "tarnctl: there is no drive " << *letter << ": on this machine\n";
        return kExitBadInput;
    }
    return kExitOk;
}

void SayWhyAViewStaysOpen(Context& ctx, long result) {
    constexpr long kErrorSharingViolation = 32;
    if (result != kErrorSharingViolation) return;
    const std::string message = ctx.backend.LastMessage();
    if (!message.empty()) ctx.err << "tarnctl: " << message << "\n";
}

int Confirm(Context& ctx, const std::string& question, bool assumeYes) {
    if (assumeYes) return kExitOk;
    if (!ctx.console.CanAsk()) {
        ctx.err << "tarnctl: this asks for confirmation and there is no terminal; add --yes to go ahead\n";
        return kExitNotConfirmed;
    }
    std::string prompt = question;
    while (!prompt.empty() && prompt.back() == ' ') prompt.pop_back();
    std::string answer;
    if (ctx.console.AskLine(prompt + " [y/N] ", &answer)) {
        std::string word;
        for (char c : answer) {
            if (!std::isspace(static_cast<unsigned char>(c))) word.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        }
        if (word == "y" || word == "yes") return kExitOk;
    }
    ctx.err << "tarnctl: not confirmed; nothing was done\n";
    return kExitNotConfirmed;
}

}  // namespace tarnctl
