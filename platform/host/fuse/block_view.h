// The block view: every drive letter of the machine as one file under
// <machine>/drives (drives/E), served through FUSE. Reads and writes of the
// file are reads and writes of the top of the drive's stack.
//
// Threads: a few workers of our own take requests from /dev/fuse; each
// request runs to its end on the worker that took it. Stop() wakes and joins
// them before the mount goes, so it never waits on a kernel read.
//
// The kernel caches the files' pages, as it caches a block device's; the
// machine's change listener drops a volume's pages whenever another path
// changes what its reads return (see kernel_cache.h).
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

#include "platform/host/expected.h"
#include "platform/host/fuse/drive_mutex.h"
#include "platform/host/fuse/kernel_cache.h"
#include "platform/nt/ntddk.h"

struct fuse_session;

namespace tarn::host::fuse {

// What the block view asks of the machine's file-system layer.
struct BlockViewHooks {
    // True while a handle of the machine holds the volume's lock: writes
    // through the view are refused then, as every other handle's are.
    std::function<bool(PDEVICE_OBJECT volume)> writesLocked;
    // Sectors were written behind the machine's file system: it mounts afresh.
    std::function<void(PDEVICE_OBJECT volume)> written;
};

struct BlockViewOptions {
    std::string machineDir;
    // Other users (the group's members, by the files' mode) may open the
    // files. Needs user_allow_other in /etc/fuse.conf when not root.
    bool allowOther = false;
    gid_t group = static_cast<gid_t>(-1);  // the files' group; -1: none
    // Enough for the kernel's read-ahead to keep requests in flight while
    // writers and openers are served.
    unsigned workers = 4;
};

class BlockView {
public:
    static constexpr const char* kDirectoryName = "drives";

    // Mounts <machineDir>/drives and starts the workers.
    static Expected<std::unique_ptr<BlockView>> Start(const BlockViewOptions& options, BlockViewHooks hooks);
    ~BlockView();
    BlockView(const BlockView&) = delete;
    BlockView& operator=(const BlockView&) = delete;

    // Joins the workers, unmounts and ends the session; requests still in
    // the kernel fail from then on. Called once; the destructor calls it too.
    void Stop();

    const std::string& MountPoint() const { return mountPoint_; }

    // Used by the request handlers.
    const BlockViewOptions& Options() const { return options_; }
    const BlockViewHooks& Hooks() const { return hooks_; }
    // The lock that keeps read-modify-writes of one drive from tearing units.
    std::shared_ptr<DriveMutex> DriveLock(PDEVICE_OBJECT volume);
    // Holds the view's writes to the volume off until the returned object
    // goes: one in flight ends first. A key change made meanwhile cannot fall
    // between a partial unit's read and its write.
    std::shared_ptr<void> HoldWrites(PDEVICE_OBJECT volume);
    KernelCache& Cache() { return *cache_; }
    // Widens the kernel's read-ahead for the files where the system allows
    // it. Only once the kernel has our answer to its first request (which
    // sets the read-ahead anew), so from a request handler.
    void WidenReadAheadOnce();

private:
    BlockView(BlockViewOptions options, BlockViewHooks hooks);
    void Work();

    BlockViewOptions options_;
    BlockViewHooks hooks_;
    std::string mountPoint_;
    fuse_session* session_ = nullptr;
    std::shared_ptr<KernelCache> cache_;  // shared with the machine's change listener
    bool listening_ = false;
    std::once_flag readAheadSet_;
    bool mounted_ = false;
    int stopEvent_ = -1;
    std::vector<std::thread> workers_;
    bool stopped_ = false;

    std::mutex locksMutex_;
    std::map<PDEVICE_OBJECT, std::weak_ptr<DriveMutex>> locks_;  // by volume, while a handle is open
};

// The default options for a machine directory: the directory's group when
// it is shared with one, allow_other when TARNVAULT_FUSE_ALLOW_OTHER is 1.
BlockViewOptions DefaultBlockViewOptions(const std::string& machineDir);

// Starts the block view, or says once on stderr why the machine runs
// without it and returns null.
std::unique_ptr<BlockView> StartBlockViewOrSay(const BlockViewOptions& options, BlockViewHooks hooks);

}  // namespace tarn::host::fuse
