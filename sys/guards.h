// Scope guards for the filter's two locks. The routines still take and drop
// them in the order they describe; the guards only make sure no way out
// forgets a release.
#pragma once

#include "sys/extension.h"

// Holds the device's remove lock for one request. Contract: the request is
// the lock's tag; the guard releases on destruction unless the hold was
// handed on (to a completion routine) or already given up.
class RemoveLockGuard {
public:
    RemoveLockGuard(PIO_REMOVE_LOCK Lock, PIRP Irp)
        : lock_(Lock), irp_(Irp), status_(IoAcquireRemoveLock(Lock, Irp))
    {
    }
    ~RemoveLockGuard() { Release(); }
    RemoveLockGuard(const RemoveLockGuard&) = delete;
    RemoveLockGuard& operator=(const RemoveLockGuard&) = delete;

    // STATUS_SUCCESS when the lock is held, else the acquire's failure
    // (STATUS_DELETE_PENDING once removal has begun).
    NTSTATUS Status() const { return status_; }

    void Release()
    {
        if (Held()) {
            IoReleaseRemoveLock(lock_, irp_);
            lock_ = nullptr;
        }
    }

    // Removal: give up our own hold and wait until every other holder is gone.
    void ReleaseAndWait()
    {
        if (Held()) {
            IoReleaseRemoveLockAndWait(lock_, irp_);
            lock_ = nullptr;
        }
    }

    // A completion routine releases the hold instead of us.
    void HandOff() { lock_ = nullptr; }

private:
    bool Held() const { return lock_ != nullptr && NT_SUCCESS(status_); }

    PIO_REMOVE_LOCK lock_;
    PIRP irp_;
    NTSTATUS status_;
};

// Holds CryptLock (a fast mutex) from construction until Release() or the end
// of the scope.
class CryptLockGuard {
public:
    explicit CryptLockGuard(PFAST_MUTEX Mutex) : mutex_(Mutex) { ExAcquireFastMutex(mutex_); }
    ~CryptLockGuard() { Release(); }
    CryptLockGuard(const CryptLockGuard&) = delete;
    CryptLockGuard& operator=(const CryptLockGuard&) = delete;

    void Release()
    {
        if (mutex_ != nullptr) {
            ExReleaseFastMutex(mutex_);
            mutex_ = nullptr;
        }
    }

private:
    PFAST_MUTEX mutex_;
};
