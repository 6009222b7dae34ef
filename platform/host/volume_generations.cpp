#include "platform/host/volume_generations.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/host/wire/wire.h"

namespace tarn::host {

namespace {

// Copied out under the lock and called outside it: a listener that waits on
// the kernel must never hold up another thread's raise.
std::mutex listenerMutex;
std::shared_ptr<const VolumeGenerations::Listener> listener;

}  // namespace

void VolumeGenerations::SetListener(Listener l) {
    auto next = l ? std::make_shared<const Listener>(std::move(l)) : nullptr;
    std::lock_guard<std::mutex> guard(listenerMutex);
    listener = std::move(next);
}

void VolumeGenerations::Tell(const void* volume) {
    std::shared_ptr<const Listener> current;
    {
        std::lock_guard<std::mutex> guard(listenerMutex);
        current = listener;
    }
    if (current) (*current)(volume);
}

VolumeGenerations::~VolumeGenerations() {
    if (page_) ::munmap(page_, wire::kGenerationPageSize);
    if (fd_ >= 0) ::close(fd_);
}

Status VolumeGenerations::Create() {
    const int fd = ::memfd_create("tarn-generations", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return Error{std::string("memfd_create: ") + std::strerror(errno)};
    void* p = MAP_FAILED;
    // Sealed at its size, so a client's mapping can never lose its pages.
    if (::ftruncate(fd, wire::kGenerationPageSize) == 0 &&
        ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) == 0) {
        p = ::mmap(nullptr, wire::kGenerationPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    if (p == MAP_FAILED) {
        const int error = errno;
        ::close(fd);
        return Error{std::string("generation page: ") + std::strerror(error)};
    }
    fd_ = fd;
    page_ = static_cast<uint64_t*>(p);
    return Ok();
}

uint64_t* VolumeGenerations::Slot(uint32_t slot) const {
    return page_ ? page_ + (slot < wire::kGenerationSlots ? slot : 0) : nullptr;
}

uint32_t VolumeGenerations::SlotOf(const void* volume) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = slots_.find(volume);
    if (it != slots_.end()) return it->second;
    const uint32_t slot = next_ < wire::kGenerationSlots ? next_++ : 0;
    slots_[volume] = slot;
    return slot;
}

uint64_t VolumeGenerations::Current(uint32_t slot) const {
    uint64_t* p = Slot(slot);
    return p ? std::atomic_ref<uint64_t>(*p).load(std::memory_order_seq_cst) : 0;
}

void VolumeGenerations::Bump(const void* volume) {
    uint64_t* p = nullptr;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = slots_.find(volume);
        // A volume nobody asked a slot for has no client reader to warn.
        if (it != slots_.end()) p = Slot(it->second);
    }
    if (p) std::atomic_ref<uint64_t>(*p).fetch_add(1, std::memory_order_seq_cst);
    Tell(volume);
}

void VolumeGenerations::BumpAll() {
    if (page_) {
        for (uint32_t i = 0; i < wire::kGenerationSlots; ++i) {
            std::atomic_ref<uint64_t>(page_[i]).fetch_add(1, std::memory_order_seq_cst);
        }
    }
    Tell(nullptr);
}

}  // namespace tarn::host
