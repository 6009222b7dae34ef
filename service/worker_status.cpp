#include "service/worker_status.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// Progress, Finished and Result are plain 32-bit values read without a lock;
// the message text and the claim need one.
std::atomic<int32_t> gProgress{0};
std::atomic<int32_t> gFinished{0};
std::atomic<int32_t> gResult{0};
std::atomic<bool> gPause{false};

struct Shared {
    std::mutex Lock;
    char LastMessage[kLastMessageCapacity] = {};
    bool Running = false;
};

Shared& State() {
    static Shared s;
    return s;
}

}  // namespace

int32_t WorkerProgress() { return gProgress.load(); }
int32_t WorkerFinished() { return gFinished.load(); }
int32_t WorkerResult() { return gResult.load(); }
void SetWorkerProgress(int32_t percent) { gProgress.store(percent); }
void SetWorkerResult(int32_t result) { gResult.store(result); }

void SetLastMessage(const char* format, ...) {
    char text[kLastMessageCapacity];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    Shared& s = State();
    std::lock_guard<std::mutex> hold(s.Lock);
    std::memcpy(s.LastMessage, text, sizeof text);
}

bool CopyLastMessage(char* buf, int32_t bufSize) {
    if (buf == nullptr || bufSize <= 0) return false;
    Shared& s = State();
    std::lock_guard<std::mutex> hold(s.Lock);
    size_t length = strnlen(s.LastMessage, sizeof s.LastMessage);
    if (length >= size_t(bufSize)) return false;
    std::memcpy(buf, s.LastMessage, length + 1);
    return true;
}

bool ClaimWorker() {
    Shared& s = State();
    std::lock_guard<std::mutex> hold(s.Lock);
    if (s.Running) return false;
    s.Running = true;
    gPause.store(false);
    gFinished.store(0);
    gResult.store(0);
    gProgress.store(0);
    return true;
}

void FinishWorker() {
    Shared& s = State();
    std::lock_guard<std::mutex> hold(s.Lock);
    s.Running = false;
    gFinished.store(1);
}

void AbandonWorkerClaim() { FinishWorker(); }

bool WorkerRunning() {
    Shared& s = State();
    std::lock_guard<std::mutex> hold(s.Lock);
    return s.Running;
}

bool RequestPause() {
    Shared& s = State();
    std::lock_guard<std::mutex> hold(s.Lock);
    if (!s.Running) return false;
    gPause.store(true);
    return true;
}

bool PauseRequested() { return gPause.load(); }
