// Where the machine's sockets live.
#pragma once

#include <string>

namespace tarn::rpc {

// FIXME: use the shared machine-directory module once platform/win32 has it.
// TARNVAULT_MACHINE, or ~/.local/state/tarnvault/machine.
std::string MachineDirectory();

// <machine>/rpc: the directory of the "ncalrpc" endpoints.
std::string LocalEndpointDirectory();

}  // namespace tarn::rpc
