// Network disks: sectors on a remote server over TCP, optionally with a
// local cache file for writes. The worker calls these for DiskKind 1.
#pragma once

#include "vdisk/extension.h"

// Mount step: connect, query the size into DiskSize, create the cache, set
// the device's alignment and decide the marker from unit 0. On failure
// nothing is left open and Backing and Cache are null.
NTSTATUS NetDiskOpen(VDISK_EXTENSION* Extension, const VDISK_MOUNT_RECORD* Record, PDEVICE_OBJECT DeviceObject);
// Transfers; they set the request's final status and Information.
NTSTATUS NetDiskRead(VDISK_EXTENSION* Extension, PIRP Irp);
NTSTATUS NetDiskWrite(VDISK_EXTENSION* Extension, PIRP Irp);
// Unmount step: disconnect, close the connection, release the cache.
VOID NetDiskClose(VDISK_EXTENSION* Extension);
