#include "platform/host/volume/split_read.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <thread>

#include <unistd.h>

namespace tarn::host {
namespace {

// Moves exactly length bytes unless the file ends or fails.
uint32_t PreadAll(int fd, uint8_t* buffer, uint32_t length, uint64_t offset, int* error) {
    uint32_t done = 0;
    *error = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = errno;
            break;
        }
        if (n == 0) break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

// One helper thread for the whole machine; a read that finds it busy reads
// alone. The state word carries the hand-off: Idle -> Posted (the job is
// set) -> Done (the result is set) -> Idle (taken back by the poster).
class Helper {
public:
    static Helper& Instance() {
        static Helper* helper = new Helper();  // lives as long as the process
        return *helper;
    }

    // Claims the helper; false when another read holds it.
    bool Claim() { return !busy_.exchange(true, std::memory_order_acquire); }

    void Post(int fd, uint8_t* buffer, uint32_t length, uint64_t offset) {
        fd_ = fd;
        buffer_ = buffer;
        length_ = length;
        offset_ = offset;
        state_.store(kPosted, std::memory_order_release);
        state_.notify_one();
    }

    uint32_t Wait(int* error) {
        // The helper's half takes as long as the caller's: a short spin
        // usually sees it finish without a sleep.
        for (int spin = 0; spin < 2000 && state_.load(std::memory_order_acquire) != kDone; ++spin) Pause();
        for (uint32_t s; (s = state_.load(std::memory_order_acquire)) != kDone;) state_.wait(s);
        *error = error_;
        const uint32_t done = done_;
        state_.store(kIdle, std::memory_order_relaxed);
        busy_.store(false, std::memory_order_release);
        return done;
    }

private:
    static constexpr uint32_t kIdle = 0, kPosted = 1, kDone = 2;

    Helper() { std::thread([this] { Run(); }).detach(); }

    static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }

    [[noreturn]] void Run() {
        for (;;) {
            for (uint32_t s; (s = state_.load(std::memory_order_acquire)) != kPosted;) state_.wait(s);
            int error = 0;
            done_ = PreadAll(fd_, buffer_, length_, offset_, &error);
            error_ = error;
            state_.store(kDone, std::memory_order_release);
            state_.notify_one();
        }
    }

    std::atomic<bool> busy_{false};
    std::atomic<uint32_t> state_{kIdle};
    // The job and its result, handed over through state_.
    int fd_ = -1;
    uint8_t* buffer_ = nullptr;
    uint32_t length_ = 0;
    uint64_t offset_ = 0;
    uint32_t done_ = 0;
    int error_ = 0;
};

}  // namespace

uint32_t SplitPread(int fd, uint8_t* buffer, uint32_t length, uint64_t offset, int* error) {
    static const bool off = getenv("TARN_NO_SPLIT") != nullptr;
    if (off || length < kSplitReadMinimum || std::thread::hardware_concurrency() < 2 || !Helper::Instance().Claim())
        return PreadAll(fd, buffer, length, offset, error);
    // Halves on a page boundary, so each side copies whole pages.
    const uint32_t first = length / 2 / 4096 * 4096;
    Helper& helper = Helper::Instance();
    helper.Post(fd, buffer + first, length - first, offset + first);
    const uint32_t head = PreadAll(fd, buffer, first, offset, error);
    int tailError = 0;
    const uint32_t tail = helper.Wait(&tailError);
    if (head < first) return head;  // the file ended or failed inside the first half
    if (*error == 0) *error = tailError;
    return head + tail;
}

}  // namespace tarn::host
