// The machine's disk driver: one volume device per drive of the drive table,
// answering what a disk stack under a filter answers. Data moves between the
// request's buffer and the backing file with one copy: reads from a mapping
// of the backing file, writes with pwrite (the mapping shares their pages).
#pragma once

#include <cstdint>
#include <shared_mutex>

#include "platform/nt/ntdddisk.h"
#include "platform/nt/ntddk.h"

namespace tarn::host {

enum class VolumeKind : ULONG { Fixed, Removable, CdRom, Remote };

// The medium in a drive. Swapped by the machine on media insert/eject while
// requests may be running: readers of fd/length/readOnly hold lock shared,
// the swap holds it exclusively.
struct VolumeMedia {
    std::shared_mutex lock;
    int fd = -1;            // -1: no medium
    ULONGLONG length = 0;   // bytes, a multiple of 512
    const UCHAR* view = nullptr;  // read-only mapping of the first length bytes, or null: reads use pread
    bool readOnly = false;  // medium or drive is write-protected
    ULONG changeCount = 0;  // bumped on every media change
};

// Opens the medium's mapping for reads (leaves none where the file cannot be
// mapped) and, on close, drops it and the descriptor. The caller holds lock
// exclusively, or owns the medium alone.
void MapMedia(VolumeMedia& media);
void CloseMedia(VolumeMedia& media);

// Device extension of a volume device. Every field is set before the device
// is started and never changes afterwards; the medium has its own lock.
typedef struct _VOLUME_EXTENSION {
    PDEVICE_OBJECT Self;
    VolumeKind Kind;
    ULONG DeviceNumber;      // N of HarddiskVolumeN / CdRomN
    VolumeMedia* Media;      // owned by the machine, outlives the device
} VOLUME_EXTENSION, *PVOLUME_EXTENSION;

inline PVOLUME_EXTENSION VolumeExtension(PDEVICE_OBJECT device) {
    return static_cast<PVOLUME_EXTENSION>(device->DeviceExtension);
}

// Entry of the disk driver (loaded by the machine as "\Driver\TarnDisk").
extern "C" NTSTATUS VolumeDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Creates the named volume device (DO_DIRECT_IO, like Windows volumes).
NTSTATUS VolumeCreateDevice(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING Name, VolumeKind Kind, ULONG Number,
                            VolumeMedia* Media, PDEVICE_OBJECT* Device);

// Dispatch routines, one file per concern.
NTSTATUS VolumeDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS VolumeDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS VolumeDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS VolumeDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS VolumeDispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS VolumeDispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS VolumeDispatchUnsupported(PDEVICE_OBJECT DeviceObject, PIRP Irp);

inline NTSTATUS VolumeComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

}  // namespace tarn::host
