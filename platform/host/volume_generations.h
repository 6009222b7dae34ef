// The write generation of every volume, in a page of shared memory that
// clients map read-only: a client that read ahead keeps its bytes only while
// the volume's generation is unchanged.
//
// Contract: Bump is called after the change it stands for is complete, so a
// reader that took the generation before its own request began either saw
// the change or holds a generation that is already stale. Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "platform/host/expected.h"

namespace tarn::host {

class VolumeGenerations {
public:
    VolumeGenerations() = default;
    ~VolumeGenerations();
    VolumeGenerations(const VolumeGenerations&) = delete;
    VolumeGenerations& operator=(const VolumeGenerations&) = delete;

    // Creates the page (a sealed-size memfd).
    Status Create();
    // The page's descriptor, for passing to clients (-1 before Create).
    int Fd() const { return fd_; }

    // The slot of a volume, given out on first use. Volumes past the page's
    // last slot share slot 0.
    uint32_t SlotOf(const void* volume);
    uint64_t Current(uint32_t slot) const;
    void Bump(const void* volume);
    // Every slot at once: the machine is going away or its drives changed.
    void BumpAll();

    // Told of every raise after the generation moved, on the raising thread
    // and before its request is answered: the volume, or null for BumpAll.
    // One per process (the block view, which drops the kernel's cached
    // pages); it may be called on several threads at once and must not wait
    // on the machine's locks. An empty function removes it; a call already
    // running may still end after that.
    using Listener = std::function<void(const void* volume)>;
    static void SetListener(Listener listener);
    // Tells the listener, without a raise, that the volume is about to change
    // (a lock, a dismount, a key or a medium): the block view then writes its
    // dirty pages while the volume still takes them. Called before any of the
    // machine's locks is taken for the change.
    static void Announce(const void* volume) { Tell(volume); }

private:
    uint64_t* Slot(uint32_t slot) const;
    static void Tell(const void* volume);

    int fd_ = -1;
    uint64_t* page_ = nullptr;
    std::mutex mutex_;  // guards slots_ and next_
    std::map<const void*, uint32_t> slots_;
    uint32_t next_ = 1;
};

}  // namespace tarn::host
