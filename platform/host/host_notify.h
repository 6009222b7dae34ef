// The command-line side talking to a running machine over its socket.
#pragma once

#include <string>
#include <vector>

#include "platform/host/expected.h"
#include "platform/host/wire/wire.h"

namespace tarn::host {

// One request on a fresh connection; the reply body after its header is
// returned in payload. A machine that is not running is an error here.
struct Reply {
    uint32_t status = 0;
    uint64_t information = 0;
    std::vector<uint8_t> payload;
};
Expected<Reply> CallHost(const std::string& dir, wire::Op op, const std::vector<uint8_t>& args);

// Asks a running machine to re-read its drive table; Ok when none runs.
Status NotifyDriveTableChanged(const std::string& dir);

}  // namespace tarn::host
