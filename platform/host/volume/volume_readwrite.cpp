// Reads and writes of whole sectors between the request's buffer and the
// backing file.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <unistd.h>

#include "platform/host/volume/volume.h"
#include "platform/nt/section.h"

namespace tarn::host {

namespace {

constexpr ULONG kSectorSize = 512;

// Moves exactly length bytes unless the file ends or fails; returns the bytes moved.
ULONG Transfer(bool write, int fd, PUCHAR buffer, ULONG length, ULONGLONG offset, int* error) {
    ULONG done = 0;
    *error = 0;
    while (done < length) {
        const ssize_t n = write ? ::pwrite(fd, buffer + done, length - done, static_cast<off_t>(offset + done))
                                : ::pread(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = errno;
            break;
        }
        if (n == 0) break;
        done += static_cast<ULONG>(n);
    }
    return done;
}

struct ViewCopy {
    const UCHAR* source;
    PUCHAR target;
    ULONG length;
};

VOID CopyFromView(PVOID context) {
    const auto* copy = static_cast<const ViewCopy*>(context);
    std::memcpy(copy->target, copy->source, copy->length);
}

// A read from the mapping; where the file was cut short under it (the fault
// ends the copy), pread reads again and says what is really there.
ULONG Read(const VolumeMedia& media, PUCHAR buffer, ULONG length, ULONGLONG offset, int* error) {
    if (media.view) {
        ViewCopy copy{media.view + offset, buffer, length};
        if (NT_SUCCESS(NtHostGuardViewAccess(CopyFromView, &copy))) {
            *error = 0;
            return length;
        }
    }
    return Transfer(false, media.fd, buffer, length, offset, error);
}

// The power-cut switch for tests, read from tarnhost's environment once:
//   TARN_FAULT_POWER_CUT_AFTER=N  the first N bytes written to volumes reach
//                                 the backing files; the write that crosses N
//                                 is cut there
//   TARN_FAULT_TEAR_WRITE=K       the K-th write (from 1) keeps only its first
//                                 half
// From the cut on the machine is dead: that write and every later one fail
// with a device error and nothing more is persisted, so what a writer sees
// is what it would have left behind when the power went. The machine
// persists again only when it starts anew without the switch.
class PowerCut {
public:
    static PowerCut& Instance() {
        static PowerCut cut;
        return cut;
    }

    // How many of the length bytes at this write may be persisted; dead is
    // set when the write (and everything after it) is to fail.
    ULONG Allow(ULONG length, bool* dead) {
        *dead = false;
        if (!armed_) return length;
        std::lock_guard<std::mutex> hold(lock_);
        if (cut_) {
            *dead = true;
            return 0;
        }
        ++writes_;
        ULONGLONG allowed = length;
        if (tearAt_ != 0 && writes_ == tearAt_) allowed = length / 2 / kSectorSize * kSectorSize;
        if (budgetSet_) allowed = std::min<ULONGLONG>(allowed, budget_ - std::min(budget_, persisted_));
        if (allowed < length) {
            cut_ = true;
            *dead = true;
        }
        persisted_ += allowed;
        return static_cast<ULONG>(allowed);
    }

private:
    PowerCut() {
        if (const char* n = std::getenv("TARN_FAULT_POWER_CUT_AFTER"); n && *n) {
            budget_ = std::strtoull(n, nullptr, 0);
            budgetSet_ = armed_ = true;
        }
        if (const char* k = std::getenv("TARN_FAULT_TEAR_WRITE"); k && *k) {
            tearAt_ = std::strtoull(k, nullptr, 0);
            armed_ = armed_ || tearAt_ != 0;
        }
    }

    bool armed_ = false;
    std::mutex lock_;  // guards the counters below
    bool budgetSet_ = false;
    ULONGLONG budget_ = 0;
    ULONGLONG tearAt_ = 0;
    ULONGLONG writes_ = 0;
    ULONGLONG persisted_ = 0;
    bool cut_ = false;
};

}  // namespace

// Contract: completes every request itself, at once. Offsets and lengths must
// be whole sectors; a transfer that runs past the end of the medium is cut at
// the end (Information says how much moved), one that starts at the end
// reads as end of file.
NTSTATUS VolumeDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    const bool write = sp->MajorFunction == IRP_MJ_WRITE;
    const ULONG length = write ? sp->Parameters.Write.Length : sp->Parameters.Read.Length;
    const LONGLONG start = write ? sp->Parameters.Write.ByteOffset.QuadPart : sp->Parameters.Read.ByteOffset.QuadPart;
    VolumeMedia* media = VolumeExtension(DeviceObject)->Media;

    if (start < 0 || start % kSectorSize || length % kSectorSize) return VolumeComplete(Irp, STATUS_INVALID_PARAMETER, 0);
    std::shared_lock<std::shared_mutex> guard(media->lock);
    if (media->fd < 0) return VolumeComplete(Irp, STATUS_NO_MEDIA_IN_DEVICE, 0);
    if (write && media->readOnly) return VolumeComplete(Irp, STATUS_MEDIA_WRITE_PROTECTED, 0);
    const ULONGLONG offset = static_cast<ULONGLONG>(start);
    if (offset >= media->length) {
        if (length == 0) return VolumeComplete(Irp, STATUS_SUCCESS, 0);
        return VolumeComplete(Irp, write ? STATUS_INVALID_PARAMETER : STATUS_END_OF_FILE, 0);
    }
    if (length == 0) return VolumeComplete(Irp, STATUS_SUCCESS, 0);
    const ULONG count = static_cast<ULONG>(std::min<ULONGLONG>(length, media->length - offset));

    PUCHAR buffer = nullptr;
    if (Irp->MdlAddress) {
        buffer = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority));
    } else {
        buffer = static_cast<PUCHAR>(Irp->UserBuffer ? Irp->UserBuffer : Irp->AssociatedIrp.SystemBuffer);
    }
    // Nothing touched when the buffer cannot be reached.
    if (!buffer) return VolumeComplete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);

    bool dead = false;
    const ULONG allowed = write ? PowerCut::Instance().Allow(count, &dead) : count;
    int error = 0;
    ULONG done = 0;
    if (!write) done = Read(*media, buffer, count, offset, &error);
    else if (allowed) done = Transfer(true, media->fd, buffer, allowed, offset, &error);
    if (dead) return VolumeComplete(Irp, STATUS_IO_DEVICE_ERROR, 0);
    if (error == ENOSPC) return VolumeComplete(Irp, STATUS_DISK_FULL, done);
    if (error) return VolumeComplete(Irp, STATUS_IO_DEVICE_ERROR, done);
    // A backing file that shrank under us: what is missing is a device error,
    // never stale bytes.
    if (done < count) return VolumeComplete(Irp, STATUS_DEVICE_DATA_ERROR, done);
    return VolumeComplete(Irp, STATUS_SUCCESS, done);
}

}  // namespace tarn::host
