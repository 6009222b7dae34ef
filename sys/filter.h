// The filter driver's routines, as the dispatch table names them.
#pragma once

#include "sys/extension.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

NTSTATUS FilterAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
VOID FilterUnload(PDRIVER_OBJECT DriverObject);

NTSTATUS FilterPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FilterRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FilterWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FilterDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FilterPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FilterPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
