// The per-device record of the virtual disk driver and the routines its
// files share.
#pragma once

#include <ntddk.h>

#include <atomic>

#include "cipher/aes.h"
#include "platform/nt/security.h"
#include "vdisk/vdisk_ioctl.h"

// Every allocation of the driver: 'Ddk '.
constexpr ULONG VDISK_POOL_TAG = 0x206B6444;

constexpr ULONG VDISK_UNIT_SIZE = 512;
constexpr USHORT VDISK_NAME_CAPACITY = USHORT(VDISK_NAME_BYTES);
constexpr size_t VDISK_DEVICE_NAME_CHARS = 256;

// Device extension of every device of the driver.
//
// Never changed after device creation: DeviceNumber, DeviceName, FixedKey,
// WorkerThread, and the queue, event and lock objects themselves.
// Changed only by the worker thread (mount and unmount run there, between
// requests), and by the unload once the worker has ended: Backing, DiskKind, ServerAddress, ServerPort, DriveLetter,
// FileName, DiskSize, ReadOnly, UseLocalCache, Cache, LinkCreated, and
// MediaPresent (set last by a mount, cleared by an unmount). Dispatch routines
// read MediaPresent and the mount fields without a lock; a queued request
// meets the state the worker has when it gets there.
// MountLock: held by the worker while it sets or frees FileName, and by the
// query on the caller's thread while it copies the mount fields, so a query
// never reads a name an unmount is freeing.
// ClientSecurity: the context of the last mount the worker ran. Each mount
// request carries its own captured context (DriverContext[0]) until the
// worker takes it, so two mounts queued at once never swap identities.
// Guarded by CryptLock: Encrypted, KeyLoaded, UserKey. Written only with it
// held; transfers hold it across their marker decision and transform, so a
// key change never meets a half-transformed transfer. Queries read the flags
// without it.
// Guarded by QueueLock: Queue. StopWorker is set once, at unload.
struct VDISK_EXTENSION {
    UCHAR MediaPresent;
    ULONG DeviceNumber;
    PVOID Backing;
    ULONG DiskKind;
    ULONG ServerAddress;
    USHORT ServerPort;
    UCHAR DriveLetter;
    UNICODE_STRING FileName;
    LONGLONG DiskSize;
    UCHAR ReadOnly;
    UCHAR UseLocalCache;
    PSECURITY_CLIENT_CONTEXT ClientSecurity;
    LIST_ENTRY Queue;
    KSPIN_LOCK QueueLock;
    KEVENT QueueEvent;
    PETHREAD WorkerThread;
    UCHAR StopWorker;
    PVOID Cache;
    WCHAR DeviceName[VDISK_DEVICE_NAME_CHARS];
    UCHAR Encrypted;
    UCHAR KeyLoaded;
    KEY_SCHEDULE UserKey;
    KEY_SCHEDULE FixedKey;
    FAST_MUTEX CryptLock;
    // Beyond the record the description gives: whether the drive-letter link
    // is the driver's own (only that one is ever deleted), and the lock of
    // FileName.
    UCHAR LinkCreated;
    FAST_MUTEX MountLock;
    // A read-only view of the whole image file while a file medium is
    // mounted (NULL when the file could not be mapped): reads take their
    // bytes from it instead of copying them out first. Set and cleared with
    // Backing, by the worker.
    PVOID ImageView;
    SIZE_T ImageViewSize;
    // Where an encrypted write's ciphertext is made, allocated at the first
    // one and kept until the medium goes. Worker only.
    PUCHAR WriteBuffer;
};

inline VDISK_EXTENSION* VdiskExtension(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<VDISK_EXTENSION*>(DeviceObject->DeviceExtension);
}

inline bool IsCdDevice(PDEVICE_OBJECT DeviceObject)
{
    return DeviceObject->DeviceType == FILE_DEVICE_CD_ROM;
}

// Byte flags read on another thread than the one writing them go through an
// atomic view (the record keeps its u8 layout).
inline bool FlagIsSet(const UCHAR& flag)
{
    return std::atomic_ref<const UCHAR>(flag).load(std::memory_order_acquire) != 0;
}

inline void SetFlag(UCHAR& flag, bool value)
{
    std::atomic_ref<UCHAR>(flag).store(value ? 1 : 0, std::memory_order_release);
}

// Holds a fast mutex (CryptLock, MountLock) for one scope.
class FastMutexGuard {
public:
    explicit FastMutexGuard(PFAST_MUTEX Mutex) : mutex_(Mutex) { ExAcquireFastMutex(mutex_); }
    ~FastMutexGuard() { ExReleaseFastMutex(mutex_); }
    FastMutexGuard(const FastMutexGuard&) = delete;
    FastMutexGuard& operator=(const FastMutexGuard&) = delete;

private:
    PFAST_MUTEX mutex_;
};

// vdisk.cpp
NTSTATUS VdiskCreateDevice(PDRIVER_OBJECT DriverObject, ULONG Number, DEVICE_TYPE Type);
DRIVER_UNLOAD VdiskUnload;

// dispatch.cpp
DRIVER_DISPATCH VdiskCreateClose;
DRIVER_DISPATCH VdiskReadWrite;
DRIVER_DISPATCH VdiskFlush;

// worker.cpp: queueing for the worker, and the worker itself.
NTSTATUS VdiskQueueRequest(VDISK_EXTENSION* Extension, PIRP Irp);
KSTART_ROUTINE VdiskWorkerThread;
// Stops the device's worker and waits for it; requests still queued
// complete with STATUS_NO_SUCH_DEVICE.
VOID VdiskStopWorker(VDISK_EXTENSION* Extension);
// Completes a request that will not be served (a mount request's captured
// caller is released first).
VOID VdiskFailRequest(PIRP Irp, NTSTATUS Status);

// control.cpp
DRIVER_DISPATCH VdiskDeviceControl;

// mount.cpp: the worker's side of mount and unmount, and the capture of the
// caller on the control routine's side.
NTSTATUS VdiskCaptureClient(PIRP Irp);
VOID VdiskReleaseRequestClient(PIRP Irp);
VOID VdiskFreeClientSecurity(PSECURITY_CLIENT_CONTEXT Context);
NTSTATUS VdiskMount(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS VdiskUnmount(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Takes the medium away (also used by the unload): closes the backing,
// deletes the driver's own link, frees the name. Worker thread or unload only.
VOID VdiskUnmountMedium(PDEVICE_OBJECT DeviceObject);

// image_view.cpp: reads from a view of the image file.
// Maps the whole open image read-only into ImageView; leaves it NULL when the
// file cannot be mapped (an empty image, a file system without mappings).
VOID ImageViewOpen(VDISK_EXTENSION* Extension, HANDLE File);
VOID ImageViewClose(VDISK_EXTENSION* Extension);
// Fills Buffer with [Offset, Offset + Length) of the image: decrypted
// (*Decrypted TRUE) when the medium is encrypted and unlocked and the
// transfer is whole units away from unit 0, as stored otherwise.
// STATUS_IN_PAGE_ERROR when there is no view, the range lies outside it, or
// the file was cut short under it: the caller then reads the file instead.
NTSTATUS ImageViewRead(VDISK_EXTENSION* Extension, PUCHAR Buffer, LONGLONG Offset, ULONG Length,
                       PBOOLEAN Decrypted);

// Transforms work in whole units at unit boundaries; anything else would
// decrypt with the wrong unit positions or leave a plaintext tail.
inline bool VdiskUnitAligned(LONGLONG Offset, ULONG Length)
{
    return Offset % VDISK_UNIT_SIZE == 0 && Length % VDISK_UNIT_SIZE == 0;
}

// filedisk.cpp: file-backed media.
NTSTATUS FileDiskOpen(VDISK_EXTENSION* Extension, const VDISK_MOUNT_RECORD* Record, PDEVICE_OBJECT DeviceObject,
                      PIO_STATUS_BLOCK IoStatus);
NTSTATUS FileDiskRead(VDISK_EXTENSION* Extension, PIRP Irp);
NTSTATUS FileDiskWrite(VDISK_EXTENSION* Extension, PIRP Irp);
NTSTATUS FileDiskRawWrite(VDISK_EXTENSION* Extension, PIRP Irp);
NTSTATUS FileDiskFlush(VDISK_EXTENSION* Extension, PIRP Irp);
VOID FileDiskClose(VDISK_EXTENSION* Extension);

// Marker decision on a medium's unit 0 (the first Length bytes, at most 512,
// of Data; the rest counts as zero). A marker makes the device Encrypted and
// keeps the key; no marker makes it plain and drops the key. Caller holds
// CryptLock.
VOID VdiskDecideMarker(VDISK_EXTENSION* Extension, const UCHAR* Data, SIZE_T Length);

// Forgets the user key: KeyLoaded cleared and the schedule wiped. Caller
// holds CryptLock.
VOID VdiskForgetKey(VDISK_EXTENSION* Extension);
