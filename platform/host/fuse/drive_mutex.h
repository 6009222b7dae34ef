// The lock of one drive's writes through the block view: shared by whole-unit
// writes, exclusive for a partial unit's read-modify-write and for the
// machine's key changes. It prefers writers: a key change waiting for the
// writes in flight is not passed by new ones, however many keep coming
// (std::shared_mutex on glibc lets readers pass a waiting writer).
#pragma once

#include <pthread.h>

namespace tarn::host::fuse {

class DriveMutex {
public:
    DriveMutex() {
        pthread_rwlockattr_t attr;
        pthread_rwlockattr_init(&attr);
        pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
        pthread_rwlock_init(&lock_, &attr);
        pthread_rwlockattr_destroy(&attr);
    }
    ~DriveMutex() { pthread_rwlock_destroy(&lock_); }
    DriveMutex(const DriveMutex&) = delete;
    DriveMutex& operator=(const DriveMutex&) = delete;

    // What std::unique_lock and std::shared_lock need.
    void lock() { pthread_rwlock_wrlock(&lock_); }
    void unlock() { pthread_rwlock_unlock(&lock_); }
    void lock_shared() { pthread_rwlock_rdlock(&lock_); }
    void unlock_shared() { pthread_rwlock_unlock(&lock_); }

private:
    pthread_rwlock_t lock_;
};

}  // namespace tarn::host::fuse
