#include "platform/host/cli_machine.h"

#include <cstdio>

namespace tarn::host {

int CmdRun(const std::string& dir) {
    // FIXME: start the machine (volumes, filter, system-call server, SCM).
    std::fprintf(stderr, "tarnhost: running a machine is not built yet (%s)\n", dir.c_str());
    return 1;
}

int CmdService(const std::string& dir, const std::string& verb, const std::string& name) {
    // FIXME: service control through the running machine.
    std::fprintf(stderr, "tarnhost: service %s %s: not built yet (%s)\n", verb.c_str(), name.c_str(), dir.c_str());
    return 1;
}

int CmdFormat(const std::string& dir, const std::string& letter, const std::string& fileSystem, const std::string& label) {
    // FIXME: format through the running machine.
    std::fprintf(stderr, "tarnhost: format %s %s %s: not built yet (%s)\n", letter.c_str(), fileSystem.c_str(),
                 label.c_str(), dir.c_str());
    return 1;
}

}  // namespace tarn::host
