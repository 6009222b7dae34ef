// How the filter reaches the device below it: every path goes to NextLower
// through one of these.
#pragma once

#include "sys/extension.h"

// Skips our stack location and calls NextLower; the lower driver completes
// the request. Returns the lower driver's status (possibly STATUS_PENDING).
// The caller must not touch the request afterwards.
NTSTATUS ForwardRequest(FILTER_EXTENSION* Extension, PIRP Irp);

// Sends the request down with a copy of our stack location and waits until the
// lower driver has finished with it, also when it pends and completes on
// another thread. The request comes back to us not completed; the caller
// completes it. Returns the request's final status.
NTSTATUS ForwardAndWait(FILTER_EXTENSION* Extension, PIRP Irp);

// System address of the request's data buffer (its MDL), or null when the
// request has none or it cannot be mapped.
PUCHAR MapRequestBuffer(PIRP Irp);

// Builds a request of our own (IRP_MJ_READ or IRP_MJ_WRITE) for Length bytes
// at Offset on Lower and waits for it. Nothing above the filter sees it, so it
// bypasses the filter's own transform. Returns its final status;
// STATUS_INSUFFICIENT_RESOURCES when no request could be built.
NTSTATUS LowerTransfer(PDEVICE_OBJECT Lower, UCHAR MajorFunction, PVOID Buffer, ULONG Length,
                       LONGLONG Offset);

// A nonpaged data buffer tagged 'Ddk ' (usable on the paging path), freed when
// the holder goes away.
class PoolBuffer {
public:
    explicit PoolBuffer(SIZE_T Length)
        : data_(static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, Length, FILTER_DATA_TAG)))
    {
    }
    ~PoolBuffer()
    {
        if (data_ != nullptr) {
            ExFreePoolWithTag(data_, FILTER_DATA_TAG);
        }
    }
    PoolBuffer(const PoolBuffer&) = delete;
    PoolBuffer& operator=(const PoolBuffer&) = delete;

    PUCHAR Data() const { return data_; }

private:
    PUCHAR data_;
};
