#include "service/fault_injection.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <chrono>
#include <mutex>

#include "service/worker_status.h"

namespace {

std::atomic<int64_t> gFailChunk{-1};
std::atomic<uint32_t> gFailError{0};
std::atomic<int64_t> gTearChunk{-1};

struct Hold {
    std::mutex Lock;
    std::condition_variable Changed;
    int64_t Chunk = -1;
};

Hold& TheHold() {
    static Hold h;
    return h;
}

// A live tarnsvc is a separate process, so its tests reach the seams through
// the environment the control manager hands on:
//   TARN_FAULT_WRITE_CHUNK=chunk:error   fail that chunk's write with error
//   TARN_FAULT_HOLD_CHUNK=chunk          hold the worker before that chunk
// Read once; calls made in-process afterwards win.
void ReadEnvironmentOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (const char* w = std::getenv("TARN_FAULT_WRITE_CHUNK")) {
            char* end = nullptr;
            const long long chunk = std::strtoll(w, &end, 10);
            if (end != w && *end == ':' && chunk >= 0) {
                const unsigned long error = std::strtoul(end + 1, nullptr, 0);
                gFailError.store(uint32_t(error));
                gFailChunk.store(chunk);
            }
        }
        if (const char* t = std::getenv("TARN_FAULT_TEAR_IMAGE_CHUNK")) {
            char* end = nullptr;
            const long long chunk = std::strtoll(t, &end, 10);
            if (end != t && *end == '\0' && chunk >= 0) gTearChunk.store(chunk);
        }
        if (const char* h = std::getenv("TARN_FAULT_HOLD_CHUNK")) {
            char* end = nullptr;
            const long long chunk = std::strtoll(h, &end, 10);
            if (end != h && *end == '\0' && chunk >= 0) {
                Hold& hold = TheHold();
                std::lock_guard<std::mutex> g(hold.Lock);
                hold.Chunk = chunk;
            }
        }
    });
}

}  // namespace

void InjectChunkWriteFailure(int64_t chunk, uint32_t error) {
    ReadEnvironmentOnce();
    gFailError.store(error);
    gFailChunk.store(chunk);
}

bool ChunkWriteFails(uint64_t chunk, uint32_t* error) {
    ReadEnvironmentOnce();
    int64_t at = gFailChunk.load();
    if (at < 0 || uint64_t(at) != chunk) return false;
    *error = gFailError.load();
    return true;
}

void HoldBeforeChunk(int64_t chunk) {
    ReadEnvironmentOnce();
    Hold& h = TheHold();
    std::lock_guard<std::mutex> g(h.Lock);
    h.Chunk = chunk;
}

void ReleaseHeldChunk() {
    ReadEnvironmentOnce();
    Hold& h = TheHold();
    std::lock_guard<std::mutex> g(h.Lock);
    h.Chunk = -1;
    h.Changed.notify_all();
}

void WaitIfHeld(uint64_t chunk) {
    ReadEnvironmentOnce();
    Hold& h = TheHold();
    std::unique_lock<std::mutex> g(h.Lock);
    // A pause gets through a hold: it is how a test stops a held worker
    // that runs in another process.
    while (h.Chunk >= 0 && uint64_t(h.Chunk) == chunk) {
        if (PauseRequested()) {
            h.Chunk = -1;  // the pause ended the hold; a resume runs free
            break;
        }
        h.Changed.wait_for(g, std::chrono::milliseconds(20));
    }
}

bool ChunkIsHeld(uint64_t chunk) {
    ReadEnvironmentOnce();
    Hold& h = TheHold();
    std::lock_guard<std::mutex> g(h.Lock);
    return h.Chunk >= 0 && uint64_t(h.Chunk) == chunk;
}

bool ImageChunkWriteTears(uint64_t chunk) {
    ReadEnvironmentOnce();
    const int64_t at = gTearChunk.load();
    return at >= 0 && uint64_t(at) == chunk;
}

void PowerCutNow() { std::_Exit(137); }
