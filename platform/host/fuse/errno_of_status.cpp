#include "platform/host/fuse/errno_of_status.h"

#include <cerrno>

namespace tarn::host::fuse {

int ErrnoOfStatus(NTSTATUS status) {
    if (!NT_ERROR(status)) return 0;
    switch (status) {
    // The filter refuses writes to a locked drive; a volume lock held by a
    // handle of the machine refuses them too.
    case STATUS_ACCESS_DENIED: return EACCES;
    case STATUS_MEDIA_WRITE_PROTECTED: return EROFS;
    case STATUS_NO_MEDIA_IN_DEVICE: return ENOMEDIUM;
    case STATUS_DEVICE_NOT_READY: return ENOMEDIUM;
    case STATUS_DISK_FULL: return ENOSPC;
    case STATUS_INVALID_PARAMETER: return EINVAL;
    case STATUS_INSUFFICIENT_RESOURCES: return ENOMEM;
    case STATUS_OBJECT_NAME_NOT_FOUND: return ENOENT;
    // The drive went away under an open file.
    case STATUS_DELETE_PENDING:
    case STATUS_NO_SUCH_DEVICE:
    case STATUS_DEVICE_DOES_NOT_EXIST:
    case STATUS_DEVICE_NOT_CONNECTED: return ENXIO;
    case STATUS_INVALID_DEVICE_REQUEST: return ENOTTY;
    default: return EIO;
    }
}

}  // namespace tarn::host::fuse
