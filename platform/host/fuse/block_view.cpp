#include "platform/host/fuse/block_view.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/host/fuse/block_ops.h"
#include "platform/host/fuse/run_tool.h"
#include "platform/host/volume_generations.h"

namespace tarn::host::fuse {

namespace {

// A mount point whose server died answers ENOTCONN; it is detached so the
// new session can mount there.
void DetachDeadMount(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 || errno != ENOTCONN) return;
    if (::umount2(path.c_str(), MNT_DETACH) == 0) return;
    // No shell: the machine directory may hold any character.
    std::string output;
    if (RunTool({"fusermount3", "-u", "-z", path}, output) != 0) {
        std::fprintf(stderr, "tarnhost: %s: a dead mount is in the way\n", path.c_str());
    }
}

// The kernel reads ahead of sequential readers of the files in windows of
// this size (the machine's own read-ahead for handles goes up to 2 MiB);
// FUSE starts at 128 KiB, which leaves the drive idle between requests.
constexpr unsigned kReadAheadKiB = 2048;

// The device number of the file system mounted at path, from the mount
// table (a stat would have to be answered by our own workers); the last
// line wins, as the last mount there hides the others. False if none.
bool MountedDevice(const std::string& path, std::string& device) {
    FILE* table = std::fopen("/proc/self/mountinfo", "re");
    if (!table) return false;
    // Fields: id, parent, major:minor, root, mount point (octal escapes).
    char line[4096];
    bool found = false;
    while (std::fgets(line, sizeof line, table)) {
        char number[64], root[2048], point[2048];
        if (std::sscanf(line, "%*s %*s %63s %2047s %2047s", number, root, point) != 3) continue;
        std::string unescaped;
        for (const char* c = point; *c; ++c) {
            if (c[0] == '\\' && c[1] >= '0' && c[1] <= '3' && c[2] >= '0' && c[2] <= '7' && c[3] >= '0' && c[3] <= '7') {
                unescaped += static_cast<char>((c[1] - '0') * 64 + (c[2] - '0') * 8 + (c[3] - '0'));
                c += 3;
            } else {
                unescaped += *c;
            }
        }
        if (unescaped == path) {
            device = number;
            found = true;
        }
    }
    std::fclose(table);
    return found;
}

// Best effort: the setting is the system's, writable by root only.
void WidenReadAhead(const std::string& mountPoint) {
    std::string device;
    if (!MountedDevice(mountPoint, device)) return;
    const std::string path = "/sys/class/bdi/" + device + "/read_ahead_kb";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    const std::string value = std::to_string(kReadAheadKiB);
    if (::write(fd, value.data(), value.size()) < 0) {
        // Left at the kernel's default: slower sequential reads, nothing else.
    }
    ::close(fd);
}

}  // namespace

BlockViewOptions DefaultBlockViewOptions(const std::string& machineDir) {
    BlockViewOptions options;
    options.machineDir = machineDir;
    struct stat st {};
    if (::stat(machineDir.c_str(), &st) == 0 && (st.st_mode & S_IXGRP)) options.group = st.st_gid;
    const char* allow = std::getenv("TARNVAULT_FUSE_ALLOW_OTHER");
    options.allowOther = allow && std::strcmp(allow, "1") == 0;
    return options;
}

BlockView::BlockView(BlockViewOptions options, BlockViewHooks hooks)
    : options_(std::move(options)), hooks_(std::move(hooks)) {
    mountPoint_ = options_.machineDir + "/" + kDirectoryName;
}

BlockView::~BlockView() { Stop(); }

Expected<std::unique_ptr<BlockView>> BlockView::Start(const BlockViewOptions& options, BlockViewHooks hooks) {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        return Error{std::string("/dev/fuse is not available (") + std::strerror(errno) + ")"};
    }
    std::unique_ptr<BlockView> view(new BlockView(options, std::move(hooks)));
    const std::string& mountPoint = view->mountPoint_;
    DetachDeadMount(mountPoint);
    if (::mkdir(mountPoint.c_str(), 0700) != 0 && errno != EEXIST) {
        return Error{"cannot make " + mountPoint + ": " + std::strerror(errno)};
    }

    // default_permissions: the kernel checks the files' mode, so allow_other
    // opens them to the group only.
    std::string mountOptions = "default_permissions,fsname=tarnvault,subtype=tarnvault";
    if (options.allowOther) mountOptions += ",allow_other";
    std::vector<std::string> argStrings{"tarnhost", "-o", mountOptions};
    std::vector<char*> argv;
    for (auto& a : argStrings) argv.push_back(a.data());
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    const fuse_lowlevel_ops& ops = BlockViewOperations();
    view->session_ = fuse_session_new(&args, &ops, sizeof(ops), view.get());
    // Parsing may have copied the arguments; the copies are ours to free.
    fuse_opt_free_args(&args);
    if (!view->session_) return Error{"the FUSE session could not be made"};
    view->cache_ = std::make_shared<KernelCache>([session = view->session_](uint64_t inode) {
        // ENOENT: the kernel holds nothing of the inode.
        fuse_lowlevel_notify_inval_inode(session, static_cast<fuse_ino_t>(inode), 0, 0);
    });
    if (fuse_session_mount(view->session_, mountPoint.c_str()) != 0) {
        return Error{"cannot mount " + mountPoint};
    }
    view->mounted_ = true;
    // Workers poll; a non-blocking device lets a worker that lost the race
    // for a request go back to polling instead of sleeping in read.
    const int fd = fuse_session_fd(view->session_);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    view->stopEvent_ = ::eventfd(0, EFD_CLOEXEC);
    if (view->stopEvent_ < 0) return Error{std::string("eventfd: ") + std::strerror(errno)};
    for (unsigned i = 0; i < std::max(1u, options.workers); ++i) {
        view->workers_.emplace_back([raw = view.get()] { raw->Work(); });
    }
    VolumeGenerations::SetListener([cache = view->cache_](const void* volume) { cache->Changed(volume); });
    view->listening_ = true;
    return view;
}

void BlockView::Work() {
    fuse_buf buffer{};
    const int fd = fuse_session_fd(session_);
    // One epoll set per worker: the device is exclusive, so a request wakes
    // one worker, not all of them; the stop event wakes every one.
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event device{}, stop{};
    device.events = EPOLLIN | EPOLLEXCLUSIVE;
    device.data.fd = fd;
    stop.events = EPOLLIN;
    stop.data.fd = stopEvent_;
    if (poller < 0 || ::epoll_ctl(poller, EPOLL_CTL_ADD, fd, &device) != 0 ||
        ::epoll_ctl(poller, EPOLL_CTL_ADD, stopEvent_, &stop) != 0) {
        std::perror("tarnhost: block view worker");
        if (poller >= 0) ::close(poller);
        return;
    }
    while (!fuse_session_exited(session_)) {
        epoll_event ready[2];
        const int n = ::epoll_wait(poller, ready, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        bool stopping = false;
        for (int i = 0; i < n; ++i) stopping |= ready[i].data.fd == stopEvent_;
        if (stopping) break;
        const int got = fuse_session_receive_buf(session_, &buffer);
        if (got == -EAGAIN || got == -EINTR) continue;
        // 0: the kernel ended the connection (unmounted).
        if (got <= 0) break;
        fuse_session_process_buf(session_, &buffer);
    }
    ::close(poller);
    std::free(buffer.mem);
}

void BlockView::Stop() {
    if (stopped_) return;
    stopped_ = true;
    // Drops still running wait for reads the workers serve: they end before
    // the workers do.
    if (listening_) VolumeGenerations::SetListener({});
    if (cache_) cache_->Close();
    if (stopEvent_ >= 0) {
        const uint64_t one = 1;
        if (::write(stopEvent_, &one, sizeof one) < 0) std::perror("tarnhost: block view stop");
    }
    for (auto& t : workers_) t.join();
    workers_.clear();
    if (session_) {
        fuse_session_exit(session_);
        if (mounted_) fuse_session_unmount(session_);
        // Closing the device ends the connection: whatever still has a file
        // open (a loop device) gets errors, never a hang.
        fuse_session_destroy(session_);
        session_ = nullptr;
    }
    if (stopEvent_ >= 0) ::close(stopEvent_);
    stopEvent_ = -1;
}

void BlockView::WidenReadAheadOnce() {
    std::call_once(readAheadSet_, [this] { WidenReadAhead(mountPoint_); });
}

std::shared_ptr<DriveMutex> BlockView::DriveLock(PDEVICE_OBJECT volume) {
    std::lock_guard<std::mutex> guard(locksMutex_);
    for (auto it = locks_.begin(); it != locks_.end();) {
        it = it->second.expired() ? locks_.erase(it) : std::next(it);
    }
    // Open handles keep the volume referenced, so while an entry is alive its
    // key names the same device.
    auto& slot = locks_[volume];
    auto lock = slot.lock();
    if (!lock) {
        lock = std::make_shared<DriveMutex>();
        slot = lock;
    }
    return lock;
}

std::shared_ptr<void> BlockView::HoldWrites(PDEVICE_OBJECT volume) {
    std::shared_ptr<DriveMutex> lock = DriveLock(volume);
    lock->lock();
    return std::shared_ptr<void>(lock.get(), [lock](void*) { lock->unlock(); });
}

std::unique_ptr<BlockView> StartBlockViewOrSay(const BlockViewOptions& options, BlockViewHooks hooks) {
    auto view = BlockView::Start(options, std::move(hooks));
    if (!view) {
        std::fprintf(stderr, "tarnhost: no block view of the drives under %s/%s: %s\n", options.machineDir.c_str(),
                     BlockView::kDirectoryName, view.error().c_str());
        return nullptr;
    }
    return std::move(*view);
}

}  // namespace tarn::host::fuse
