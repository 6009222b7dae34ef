// Power requests go down the stack untouched.
#include "sys/filter.h"
#include "sys/guards.h"

// Contract: holds the remove lock while the request goes down; the lower
// driver completes it.
NTSTATUS FilterPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FILTER_EXTENSION* extension = FilterExtension(DeviceObject);
    RemoveLockGuard removeLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(removeLock.Status())) {
        PoStartNextPowerIrp(Irp);
        return CompleteRequest(Irp, removeLock.Status(), 0);
    }
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(extension->NextLower, Irp);
}
