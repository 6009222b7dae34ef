// The per-device record of the filter and the small helpers every dispatch
// routine shares.
#pragma once

#include <atomic>

#include "cipher/aes.h"
#include <ntddk.h>

#ifndef STATUS_CONTINUE_COMPLETION
// Older kit headers lack the name; the value lets completion continue.
#define STATUS_CONTINUE_COMPLETION STATUS_SUCCESS
#endif

// Pool tags: data buffers, and the remove lock.
constexpr ULONG FILTER_DATA_TAG = 0x206B6444;         // 'Ddk '
constexpr ULONG FILTER_REMOVE_LOCK_TAG = 0x6C694654;  // 'TFil'

// The unit every transform works in, whatever the sector size.
constexpr ULONG FILTER_UNIT_SIZE = 512;

enum FILTER_PNP_STATE : ULONG {
    PnpNotStarted = 0,
    PnpStarted = 1,
    PnpStopPending = 2,
    PnpStopped = 3,
    PnpRemovePending = 4,
    PnpSurpriseRemovePending = 5,
    PnpDeleted = 6,
};

// Device extension of every filter device object.
//
// Never changed after add-device: Self, NextLower, FixedKey, and the lock
// objects themselves.
// Changed only by Plug and Play requests, which the system serialises per
// device: PnpState, PreviousPnpState.
// Guarded by CryptLock: Encrypted, KeyLoaded, UserKey. They are written only
// with CryptLock held; the read and write routines also test Encrypted and
// KeyLoaded without it to choose a path (through the Flag helpers below) and
// decide again under the lock before they transform anything.
struct FILTER_EXTENSION {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT NextLower;
    ULONG PnpState;
    ULONG PreviousPnpState;
    IO_REMOVE_LOCK RemoveLock;
    UCHAR Encrypted;
    UCHAR KeyLoaded;
    KEY_SCHEDULE UserKey;
    KEY_SCHEDULE FixedKey;
    FAST_MUTEX CryptLock;
};

inline FILTER_EXTENSION* FilterExtension(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<FILTER_EXTENSION*>(DeviceObject->DeviceExtension);
}

// Encrypted and KeyLoaded are read without the lock on the hot path, so every
// access goes through an atomic view of the byte (the layout stays a u8).
inline bool FlagIsSet(const UCHAR& flag)
{
    return std::atomic_ref<const UCHAR>(flag).load(std::memory_order_relaxed) != 0;
}

inline void SetFlag(UCHAR& flag, bool value)
{
    std::atomic_ref<UCHAR>(flag).store(value ? 1 : 0, std::memory_order_relaxed);
}

inline void SetPnpState(FILTER_EXTENSION* Extension, FILTER_PNP_STATE State)
{
    Extension->PreviousPnpState = Extension->PnpState;
    Extension->PnpState = State;
}

inline void RestorePnpState(FILTER_EXTENSION* Extension)
{
    Extension->PnpState = Extension->PreviousPnpState;
}

// Completes a request this driver finishes itself (no priority boost) and
// returns the status, so a routine can complete and return in one statement.
inline NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Completes a request that came back from the lower driver with the status
// and information that driver set.
inline NTSTATUS CompleteWithLowerStatus(PIRP Irp)
{
    const NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
