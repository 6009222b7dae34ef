#include "platform/host/fuse/kernel_cache.h"

#include <vector>

namespace tarn::host::fuse {

namespace {

thread_local uint64_t writingInode = 0;

}  // namespace

KernelCache::OwnWrite::OwnWrite(uint64_t inode) : previous_(writingInode) { writingInode = inode; }

KernelCache::OwnWrite::~OwnWrite() { writingInode = previous_; }

uint64_t KernelCache::InodeOf(const void* volume, char letter) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto [it, added] = inodes_.try_emplace(volume, next_);
    if (added) ++next_;
    entries_[it->second] = Entry{volume, letter};
    return it->second;
}

bool KernelCache::Find(uint64_t inode, const void*& volume, char& letter) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = entries_.find(inode);
    if (it == entries_.end()) return false;
    volume = it->second.volume;
    letter = it->second.letter;
    return true;
}

void KernelCache::Changed(const void* volume) {
    std::vector<uint64_t> inodes;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (closed_) return;
        if (volume) {
            auto it = inodes_.find(volume);
            if (it != inodes_.end()) inodes.push_back(it->second);
        } else {
            for (const auto& [v, inode] : inodes_) inodes.push_back(inode);
        }
        if (inodes.empty()) return;
        ++running_;
    }
    for (uint64_t inode : inodes) {
        if (inode != writingInode) drop_(inode);
    }
    std::lock_guard<std::mutex> guard(mutex_);
    if (--running_ == 0) idle_.notify_all();
}

void KernelCache::Close() {
    std::unique_lock<std::mutex> guard(mutex_);
    closed_ = true;
    idle_.wait(guard, [this] { return running_ == 0; });
}

}  // namespace tarn::host::fuse
