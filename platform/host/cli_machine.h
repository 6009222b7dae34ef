// The commands that run the machine or talk to a running one.
#pragma once

#include <string>

namespace tarn::host {

int CmdRun(const std::string& dir, bool startService);
int CmdService(const std::string& dir, const std::string& verb, const std::string& name);
int CmdFormat(const std::string& dir, const std::string& letter, const std::string& fileSystem, const std::string& label);

}  // namespace tarn::host
