// Inodes: 1 is the directory; every volume's file has one of its own (see
// kernel_cache.h), so a letter that names another device is another file.
// Names and attributes are not cached by the kernel (timeouts 0), so every
// lookup and stat asks the machine's namespace afresh: drives added, removed,
// media changed and images mounted or unmounted show at once. Pages are
// cached, and dropped whenever the volume changes behind the view.
#include "platform/host/fuse/block_ops.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/host/fuse/block_view.h"
#include "platform/host/fuse/drive_handle.h"
#include "platform/host/fuse/errno_of_status.h"
#include "platform/host/fuse/unit_io.h"

namespace tarn::host::fuse {

namespace {

// An open file of the block view.
struct OpenDrive {
    std::unique_ptr<DriveHandle> handle;
    std::shared_ptr<DriveMutex> lock;
};

BlockView& View(fuse_req_t req) { return *static_cast<BlockView*>(fuse_req_userdata(req)); }

OpenDrive& Open(fuse_file_info* fi) { return *reinterpret_cast<OpenDrive*>(fi->fh); }

// A handle on the volume of a drive inode, through the letter it was last
// reached by or, when that letter names another device now, any letter that
// still names it. ENOENT when none does (the drive or image is gone); the
// device's refusal when it refused the open.
int OpenInode(BlockView& view, fuse_ino_t ino, std::unique_ptr<DriveHandle>& handle) {
    const void* volume = nullptr;
    char last = 0;
    if (!view.Cache().Find(ino, volume, last)) return ENOENT;
    int refused = 0;
    const auto tryLetter = [&](char letter) {
        std::unique_ptr<DriveHandle> h;
        const NTSTATUS status = DriveHandle::Open(letter, h);
        if (!NT_SUCCESS(status)) {
            if (status != STATUS_OBJECT_NAME_NOT_FOUND && !refused) refused = ErrnoOfStatus(status);
            return false;
        }
        if (h->Volume() != volume) return false;
        handle = std::move(h);
        return true;
    };
    if (tryLetter(last)) return 0;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        if (letter != last && DriveHandle::DeviceOf(letter) == volume && tryLetter(letter)) return 0;
    }
    return refused ? refused : ENOENT;
}

// Per worker: read and write units move through it, so requests allocate
// nothing once it has grown. Wiped when the worker ends (it held plaintext).
std::vector<uint8_t>& Scratch() {
    struct Wiped {
        std::vector<uint8_t> bytes;
        ~Wiped() {
            if (!bytes.empty()) ::explicit_bzero(bytes.data(), bytes.size());
        }
    };
    thread_local Wiped scratch;
    return scratch.bytes;
}

void FillCommon(const BlockView& view, struct stat& st) {
    // The files exist since the machine started.
    static const time_t started = std::time(nullptr);
    st.st_atime = st.st_mtime = st.st_ctime = started;
    st.st_uid = ::getuid();
    st.st_gid = view.Options().group != static_cast<gid_t>(-1) ? view.Options().group : ::getgid();
    st.st_nlink = 1;
}

void DirectoryAttributes(const BlockView& view, struct stat& st) {
    std::memset(&st, 0, sizeof st);
    st.st_ino = FUSE_ROOT_ID;
    st.st_mode = S_IFDIR | (view.Options().group != static_cast<gid_t>(-1) ? 0750 : 0700);
    FillCommon(view, st);
    st.st_nlink = 2;
}

// A drive's file: its length is the medium's (0 while the drive is empty).
void DriveAttributes(const BlockView& view, fuse_ino_t ino, uint64_t length, struct stat& st) {
    std::memset(&st, 0, sizeof st);
    st.st_ino = ino;
    st.st_mode = S_IFREG | (view.Options().group != static_cast<gid_t>(-1) ? 0660 : 0600);
    FillCommon(view, st);
    st.st_size = static_cast<off_t>(length);
    st.st_blksize = static_cast<blksize_t>(kUnitBytes);
    st.st_blocks = static_cast<blkcnt_t>(length / 512);
}

// The medium's length through a handle; an empty drive has length 0.
NTSTATUS MediumLength(DriveHandle& handle, uint64_t& length) {
    const NTSTATUS status = handle.Length(length);
    if (status == STATUS_NO_MEDIA_IN_DEVICE) {
        length = 0;
        return STATUS_SUCCESS;
    }
    return status;
}

// Attributes of a letter from a short-lived handle; ENOENT when the letter
// names no device.
int LetterAttributes(BlockView& view, char letter, struct stat& st) {
    std::unique_ptr<DriveHandle> handle;
    NTSTATUS status = DriveHandle::Open(letter, handle);
    if (!NT_SUCCESS(status)) return status == STATUS_OBJECT_NAME_NOT_FOUND ? ENOENT : ErrnoOfStatus(status);
    uint64_t length = 0;
    status = MediumLength(*handle, length);
    if (!NT_SUCCESS(status)) return ErrnoOfStatus(status);
    DriveAttributes(view, view.Cache().InodeOf(handle->Volume(), letter), length, st);
    return 0;
}

void OpLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    if (parent != FUSE_ROOT_ID) return (void)fuse_reply_err(req, ENOTDIR);
    if (std::strlen(name) != 1 || name[0] < 'A' || name[0] > 'Z') return (void)fuse_reply_err(req, ENOENT);
    fuse_entry_param e{};
    if (const int error = LetterAttributes(View(req), name[0], e.attr)) return (void)fuse_reply_err(req, error);
    e.ino = e.attr.st_ino;
    e.attr_timeout = 0;
    e.entry_timeout = 0;
    fuse_reply_entry(req, &e);
}

void OpGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    struct stat st {};
    if (ino == FUSE_ROOT_ID) {
        DirectoryAttributes(View(req), st);
        return (void)fuse_reply_attr(req, &st, 0);
    }
    std::unique_ptr<DriveHandle> own;
    DriveHandle* handle = fi && fi->fh ? Open(fi).handle.get() : nullptr;
    if (!handle) {
        if (const int error = OpenInode(View(req), ino, own)) return (void)fuse_reply_err(req, error);
        handle = own.get();
    }
    uint64_t length = 0;
    const NTSTATUS status = MediumLength(*handle, length);
    if (!NT_SUCCESS(status)) return (void)fuse_reply_err(req, ErrnoOfStatus(status));
    DriveAttributes(View(req), ino, length, st);
    fuse_reply_attr(req, &st, 0);
}

// A drive's file is a device: its size follows the medium, not truncation
// (so "dd of=drives/E" without conv=notrunc works as on a disk), and its
// owner and mode are the machine's.
void OpSetattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet, fuse_file_info* fi) {
    (void)attr;
    if (toSet & (FUSE_SET_ATTR_MODE | FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)) return (void)fuse_reply_err(req, EPERM);
    OpGetattr(req, ino, fi);
}

void OpReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
    if (ino != FUSE_ROOT_ID) return (void)fuse_reply_err(req, ENOTDIR);
    struct Entry {
        std::string name;
        fuse_ino_t ino;
    };
    std::vector<Entry> entries{{".", FUSE_ROOT_ID}, {"..", FUSE_ROOT_ID}};
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        if (const void* device = DriveHandle::DeviceOf(letter)) {
            entries.push_back({std::string(1, letter), View(req).Cache().InodeOf(device, letter)});
        }
    }
    std::vector<char> buffer(size);
    size_t used = 0;
    for (size_t i = static_cast<size_t>(std::max<off_t>(off, 0)); i < entries.size(); ++i) {
        struct stat st {};
        st.st_ino = entries[i].ino;
        st.st_mode = i < 2 ? S_IFDIR : S_IFREG;
        const size_t need = fuse_add_direntry(req, buffer.data() + used, size - used, entries[i].name.c_str(), &st,
                                              static_cast<off_t>(i + 1));
        if (need > size - used) break;
        used += need;
    }
    fuse_reply_buf(req, buffer.data(), used);
}

void OpOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    if (ino == FUSE_ROOT_ID) return (void)fuse_reply_err(req, EISDIR);
    auto open = std::make_unique<OpenDrive>();
    if (const int error = OpenInode(View(req), ino, open->handle)) return (void)fuse_reply_err(req, error);
    open->lock = View(req).DriveLock(open->handle->Volume());
    View(req).WidenReadAheadOnce();
    // The kernel caches the pages as it caches a block device's (plaintext
    // while unlocked); they stay valid across opens because every change
    // behind the view drops them. An empty drive's reads come to us, so
    // they fail as its device's do instead of ending at size 0.
    // A shared writable mapping leaves dirty pages the kernel writes back
    // later; the machine announces a lock, dismount, key or medium change
    // before it happens, and dropping the pages then writes them first.
    // FIXME: a page dirtied between that announcement and the change is
    // still refused afterwards, and only msync/fsync hear of it.
    uint64_t length = 0;
    const bool empty = open->handle->Length(length) == STATUS_NO_MEDIA_IN_DEVICE;
    fi->direct_io = empty ? 1 : 0;
    fi->keep_cache = empty ? 0 : 1;
    fi->fh = reinterpret_cast<uint64_t>(open.get());
    if (fuse_reply_open(req, fi) != 0) return;  // the opener is gone; the kernel sends no release
    open.release();
}

void OpRelease(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    delete reinterpret_cast<OpenDrive*>(fi->fh);
    fuse_reply_err(req, 0);
}

void OpRead(fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info* fi) {
    OpenDrive& open = Open(fi);
    if (off < 0) return (void)fuse_reply_err(req, EINVAL);
    // The device cuts a read at its end itself, so the length is asked only
    // when a read fails; no medium reads as ENOMEDIUM, as an empty drive's
    // device does.
    const uint8_t* data = nullptr;
    ByteTransfer t = ReadBytes(*open.handle, UINT64_MAX, static_cast<uint64_t>(off), size, Scratch(), data);
    if (!NT_SUCCESS(t.status) && t.done == 0 && t.status != STATUS_NO_MEDIA_IN_DEVICE) {
        // A device that refuses a read across its end gets it cut there.
        uint64_t length = 0;
        const NTSTATUS status = open.handle->Length(length);
        if (!NT_SUCCESS(status)) return (void)fuse_reply_err(req, ErrnoOfStatus(status));
        t = ReadBytes(*open.handle, length, static_cast<uint64_t>(off), size, Scratch(), data);
    }
    if (!NT_SUCCESS(t.status) && t.done == 0) return (void)fuse_reply_err(req, ErrnoOfStatus(t.status));
    fuse_reply_buf(req, reinterpret_cast<const char*>(data), t.done);
}

void OpWrite(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t off, fuse_file_info* fi) {
    OpenDrive& open = Open(fi);
    BlockView& view = View(req);
    if (off < 0) return (void)fuse_reply_err(req, EINVAL);
    if (view.Hooks().writesLocked && view.Hooks().writesLocked(open.handle->Volume())) {
        return (void)fuse_reply_err(req, EACCES);
    }
    uint64_t length = 0;
    NTSTATUS status = open.handle->Length(length);
    if (!NT_SUCCESS(status)) return (void)fuse_reply_err(req, ErrnoOfStatus(status));
    // A read-modify-write of a partial unit holds the drive's lock across its
    // read and its write, and the machine takes that lock around every key
    // change (BlockView::HoldWrites): ciphertext read while Locked can never
    // be written back as plaintext after an unlock.
    // The kernel fills its pages with these bytes itself and holds them
    // locked until we answer: the change this write reports leaves them be.
    const KernelCache::OwnWrite own(ino);
    // buf lies in this worker's own receive buffer, which the next request
    // overwrites anyway: whole units are encrypted in it, saving a copy.
    const ByteTransfer t = WriteBytes(*open.handle, *open.lock, length, static_cast<uint64_t>(off),
                                      reinterpret_cast<uint8_t*>(const_cast<char*>(buf)), size, Scratch());
    if (t.done > 0 && view.Hooks().written) view.Hooks().written(open.handle->Volume());
    if (!NT_SUCCESS(t.status) && t.done == 0) return (void)fuse_reply_err(req, ErrnoOfStatus(t.status));
    fuse_reply_write(req, t.done);
}

// Every write has reached the stack when its request ends (the kernel
// writes through its cache, it keeps nothing dirty); a close has nothing
// left to push. fsync asks the stack to make it durable.
void OpFlush(fuse_req_t req, fuse_ino_t, fuse_file_info*) { fuse_reply_err(req, 0); }

void OpFsync(fuse_req_t req, fuse_ino_t, int, fuse_file_info* fi) {
    fuse_reply_err(req, ErrnoOfStatus(Open(fi).handle->Flush()));
}

void OpInit(void*, fuse_conn_info* conn) {
    // Requests as large as the kernel allows (1 MiB); no splicing, our
    // workers read into memory they own.
    conn->want &= ~(FUSE_CAP_SPLICE_READ | FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE);
    // Pages are dropped when the machine says the volume changed; asking for
    // the attributes before every read would add a request and tell nothing
    // (a drive's times and size do not follow its writes).
    conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
    // Writes go through at once. Dirty pages held back in the kernel would
    // reach the drive after a lock or a media change (refused, or on the
    // wrong medium) after the writer was told they were written.
    conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
}

}  // namespace

const fuse_lowlevel_ops& BlockViewOperations() {
    static const fuse_lowlevel_ops ops = [] {
        fuse_lowlevel_ops o{};
        o.init = OpInit;
        o.lookup = OpLookup;
        o.getattr = OpGetattr;
        o.setattr = OpSetattr;
        o.readdir = OpReaddir;
        o.open = OpOpen;
        o.release = OpRelease;
        o.read = OpRead;
        o.write = OpWrite;
        o.flush = OpFlush;
        o.fsync = OpFsync;
        return o;
    }();
    return ops;
}

}  // namespace tarn::host::fuse
