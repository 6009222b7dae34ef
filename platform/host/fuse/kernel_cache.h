// The kernel's cache of the block view: its inodes, one per volume (a letter
// and every letter aliasing the same device share one, so one copy of each
// page), and dropping a volume's cached pages and attributes when what a read
// of it returns changes behind the view (another handle's write, a raw write,
// a key change, a media change or removal).
//
// Contract: Changed runs on the thread that made the change, before that
// change's request is answered, and returns once the kernel has dropped the
// pages: a read that starts afterwards goes to the drive. A write through the
// view itself does not drop the inode it writes: the kernel holds those pages
// locked for the whole request (dropping them would wait on ourselves) and
// fills them with the written bytes anyway. Thread-safe.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

namespace tarn::host::fuse {

class KernelCache {
public:
    // Drops an inode's pages and attributes from the kernel; may wait for
    // requests in flight on those pages.
    using Drop = std::function<void(uint64_t inode)>;
    static constexpr uint64_t kFirstInode = 2;  // 1 is the directory

    explicit KernelCache(Drop drop) : drop_(std::move(drop)) {}

    // The inode of a volume's file, given out on first use; letter is the
    // name it was reached by, kept for requests that name only the inode.
    uint64_t InodeOf(const void* volume, char letter);
    // The volume and the last letter an inode was given for; false when the
    // inode was never given out.
    bool Find(uint64_t inode, const void*& volume, char& letter) const;

    // What reads of volume return changed (null: every volume's).
    void Changed(const void* volume);
    // No more drops; waits for those running. The workers must still serve
    // requests meanwhile (a drop waits for reads in flight).
    void Close();

    // While alive, the calling thread writes inode through the view: changes
    // it causes leave that inode's pages alone.
    class OwnWrite {
    public:
        explicit OwnWrite(uint64_t inode);
        ~OwnWrite();
        OwnWrite(const OwnWrite&) = delete;
        OwnWrite& operator=(const OwnWrite&) = delete;

    private:
        uint64_t previous_;
    };

private:
    struct Entry {
        const void* volume;
        char letter;
    };

    const Drop drop_;
    mutable std::mutex mutex_;  // guards everything below
    std::map<const void*, uint64_t> inodes_;
    std::map<uint64_t, Entry> entries_;
    uint64_t next_ = kFirstInode;
    bool closed_ = false;
    int running_ = 0;  // drops in progress
    std::condition_variable idle_;
};

}  // namespace tarn::host::fuse
