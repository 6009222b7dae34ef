// The terminal: questions and password prompts. The live console talks to
// /dev/tty, so a password prompt never echoes and never mixes with piped
// standard input or output; tests give scripted answers.
#pragma once

#include <string>

#include "tools/tarnctl/secret.h"

namespace tarnctl {

class Console {
public:
    virtual ~Console() = default;
    // Whether there is a terminal to ask on.
    virtual bool CanAsk() = 0;
    // One answer line after the prompt; false at end of input or without a terminal.
    virtual bool AskLine(const std::string& prompt, std::string* answer) = 0;
    // The same without echo, straight into the secret.
    virtual bool AskSecret(const std::string& prompt, Secret* secret) = 0;
};

class TerminalConsole final : public Console {
public:
    bool CanAsk() override;
    bool AskLine(const std::string& prompt, std::string* answer) override;
    bool AskSecret(const std::string& prompt, Secret* secret) override;
};

}  // namespace tarnctl
