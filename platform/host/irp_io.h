// Requests the machine sends into device stacks, as the I/O manager does for
// a user's call: build the IRP, call the top of the stack, wait for it.
//
// Contract: every helper returns the request's final status and frees what
// it built; the caller keeps ownership of its buffers, which must stay valid
// until the helper returns.
#pragma once

#include "platform/nt/ntddk.h"

namespace tarn::host {

// IRP_MJ_READ / IRP_MJ_WRITE of length bytes at offset. information gets the
// bytes moved. fileObject may be null for the machine's own requests.
NTSTATUS IoSendReadWrite(PDEVICE_OBJECT top, PFILE_OBJECT fileObject, UCHAR major, PVOID buffer, ULONG length,
                         LONGLONG offset, ULONG_PTR* information);

// IRP_MJ_DEVICE_CONTROL, METHOD_BUFFERED as the I/O manager builds it.
NTSTATUS IoSendDeviceControl(PDEVICE_OBJECT top, PFILE_OBJECT fileObject, ULONG code, PVOID in, ULONG inLength,
                             PVOID out, ULONG outLength, ULONG_PTR* information);

// A request without buffers: IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE,
// IRP_MJ_PNP (with its minor code; starts as STATUS_NOT_SUPPORTED, as PnP
// requests do).
NTSTATUS IoSendSimple(PDEVICE_OBJECT top, PFILE_OBJECT fileObject, UCHAR major, UCHAR minor);

}  // namespace tarn::host
