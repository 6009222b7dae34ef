// Interface for the process that plays the machine (not Windows API): driver
// objects are made and unloaded here, and names are looked up the way the
// I/O manager does for an open.
#pragma once

#include <string>
#include <vector>

#include "wdm.h"

#ifdef __cplusplus
extern "C" {
#endif

// Makes the driver object DriverName (u"\\Driver\\tarn"), enters it in the
// namespace and runs DriverInit with RegistryPath. If DriverInit fails the
// object is removed again and its status returned.
NTSTATUS NtHostLoadDriver(_In_ PCWSTR DriverName, _In_ PDRIVER_INITIALIZE DriverInit,
                          _In_opt_ PUNICODE_STRING RegistryPath, _Out_ PDRIVER_OBJECT* DriverObject);
// Runs the driver's DriverUnload and drops the driver object.
// STATUS_INVALID_DEVICE_REQUEST when the driver has no unload routine.
NTSTATUS NtHostUnloadDriver(_In_ PDRIVER_OBJECT DriverObject);

// Looks Name up, following symbolic links, and returns the object
// referenced. ObjectType NULL accepts any type.
NTSTATUS NtHostReferenceObjectByName(_In_ PCUNICODE_STRING Name, _In_opt_ POBJECT_TYPE ObjectType,
                                     _Out_ PVOID* Object);
// Makes a file object on DeviceObject (referencing it), as an open does.
NTSTATUS NtHostCreateFileObject(_In_ PDEVICE_OBJECT DeviceObject, _Out_ PFILE_OBJECT* FileObject);

#ifdef __cplusplus
}
#endif

// Names in a namespace directory (u"\\GLOBAL??"), sorted; empty when the
// directory does not exist.
std::vector<std::u16string> NtHostListDirectory(const std::u16string& DirectoryName);
// The name a path finally names after every symbolic link is followed, or
// an empty string when a link along the way is missing.
std::u16string NtHostResolvePath(const std::u16string& Path);
