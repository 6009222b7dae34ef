// Network disk client.
// FIXME: the TDI transport, the request/reply exchanges, the descrambling of
// read data, reconnection and the local write cache are not written yet;
// until then a network mount fails with STATUS_NOT_SUPPORTED, so no transfer
// ever reaches this file with a connection.
#include "vdisk/netdisk.h"

NTSTATUS NetDiskOpen(VDISK_EXTENSION* Extension, const VDISK_MOUNT_RECORD* Record)
{
    UNREFERENCED_PARAMETER(Extension);
    UNREFERENCED_PARAMETER(Record);
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS NetDiskRead(VDISK_EXTENSION* Extension, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Extension);
    Irp->IoStatus.Information = 0;
    return Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
}

NTSTATUS NetDiskWrite(VDISK_EXTENSION* Extension, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Extension);
    Irp->IoStatus.Information = 0;
    return Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
}

VOID NetDiskClose(VDISK_EXTENSION* Extension)
{
    Extension->Backing = nullptr;
}
