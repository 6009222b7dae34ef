// Runs a system tool (mount, umount, fusefat) without a shell and collects
// what it printed.
#pragma once

#include <string>
#include <vector>

namespace tarn::host::fuse {

// The tool's exit status (127 when it could not be started, 128 + signal
// when a signal ended it); output gets its stdout and stderr.
int RunTool(const std::vector<std::string>& argv, std::string& output);

}  // namespace tarn::host::fuse
