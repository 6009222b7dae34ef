#include "service/fault_injection.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace {

std::atomic<int64_t> gFailChunk{-1};
std::atomic<uint32_t> gFailError{0};

struct Hold {
    std::mutex Lock;
    std::condition_variable Changed;
    int64_t Chunk = -1;
};

Hold& TheHold() {
    static Hold h;
    return h;
}

}  // namespace

void InjectChunkWriteFailure(int64_t chunk, uint32_t error) {
    gFailError.store(error);
    gFailChunk.store(chunk);
}

bool ChunkWriteFails(uint64_t chunk, uint32_t* error) {
    int64_t at = gFailChunk.load();
    if (at < 0 || uint64_t(at) != chunk) return false;
    *error = gFailError.load();
    return true;
}

void HoldBeforeChunk(int64_t chunk) {
    Hold& h = TheHold();
    std::lock_guard<std::mutex> g(h.Lock);
    h.Chunk = chunk;
}

void ReleaseHeldChunk() {
    Hold& h = TheHold();
    std::lock_guard<std::mutex> g(h.Lock);
    h.Chunk = -1;
    h.Changed.notify_all();
}

void WaitIfHeld(uint64_t chunk) {
    Hold& h = TheHold();
    std::unique_lock<std::mutex> g(h.Lock);
    h.Changed.wait(g, [&] { return h.Chunk < 0 || uint64_t(h.Chunk) != chunk; });
}
