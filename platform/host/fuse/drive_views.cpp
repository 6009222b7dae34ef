#include "platform/host/fuse/drive_views.h"

#include <cstdio>

#include "platform/host/fuse/fs_view.h"
#include "platform/host/machine.h"

namespace tarn::host::fuse {

DriveViews::DriveViews(const std::string& machineDir, Machine& machine) : machineDir_(machineDir) {
    BlockViewHooks hooks;
    hooks.writesLocked = [&machine](PDEVICE_OBJECT volume) { return machine.VolumeLocked(volume); };
    hooks.written = [&machine](PDEVICE_OBJECT volume) { machine.VolumeWritten(volume); };
    blockView_ = StartBlockViewOrSay(DefaultBlockViewOptions(machineDir), std::move(hooks));
}

DriveViews::~DriveViews() {
    if (!blockView_) return;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        if (auto s = CloseFileSystemViews(machineDir_, letter); !s) {
            std::fprintf(stderr, "tarnhost: %s; its file system loses the drive now\n", s.error().c_str());
        }
    }
    blockView_->Stop();
}

}  // namespace tarn::host::fuse
