#include "platform/host/fuse/drive_views.h"

#include <cstdio>

#include "platform/host/fuse/fs_view.h"
#include "platform/host/machine.h"

namespace tarn::host::fuse {

DriveViews::DriveViews(const std::string& machineDir, Machine& machine) : machineDir_(machineDir), machine_(machine) {
    BlockViewHooks hooks;
    hooks.writesLocked = [&machine](PDEVICE_OBJECT volume) { return machine.VolumeLocked(volume); };
    hooks.written = [&machine](PDEVICE_OBJECT volume) { machine.VolumeWritten(volume); };
    blockView_ = StartBlockViewOrSay(DefaultBlockViewOptions(machineDir), std::move(hooks));
    if (blockView_) {
        // A control request may still hold a copy while the views go.
        std::weak_ptr<BlockView> view = blockView_;
        machine.SetViewWriteHold([view](PDEVICE_OBJECT volume) -> std::shared_ptr<void> {
            const std::shared_ptr<BlockView> live = view.lock();
            return live ? live->HoldWrites(volume) : nullptr;
        });
    }
}

DriveViews::~DriveViews() {
    if (!blockView_) return;
    machine_.SetViewWriteHold(nullptr);
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        if (auto s = CloseFileSystemViews(machineDir_, letter); !s) {
            std::fprintf(stderr, "tarnhost: %s; its file system loses the drive now\n", s.error().c_str());
        }
    }
    blockView_->Stop();
}

}  // namespace tarn::host::fuse
