// The views of a running machine's drives from Linux, for as long as the
// object lives: the block view starts with it; when it goes, the
// file-system views of the drives are closed first (as a system shutdown
// unmounts), then the block view stops.
#pragma once

#include <memory>
#include <string>

#include "platform/host/fuse/block_view.h"

namespace tarn::host {
class Machine;
}

namespace tarn::host::fuse {

class DriveViews {
public:
    DriveViews(const std::string& machineDir, Machine& machine);
    ~DriveViews();
    DriveViews(const DriveViews&) = delete;
    DriveViews& operator=(const DriveViews&) = delete;

private:
    std::string machineDir_;
    Machine& machine_;
    std::shared_ptr<BlockView> blockView_;
};

}  // namespace tarn::host::fuse
