// Where the machine finds its services: the services database in the
// registry (HKLM\SYSTEM\CurrentControlSet\Services\<name>: ImagePath, Type),
// then the built-in entries for tarnsvc and the VTarn driver.
#pragma once

#include <optional>
#include <string>

#include "platform/host/service_manager.h"

namespace tarn::host {

std::optional<ServiceConfig> ServiceFromRegistry(const std::string& name);

// The Win32 error Windows reports for an NTSTATUS (what a failed driver
// entry gives StartService).
uint32_t Win32ErrorOfStatus(uint32_t status);

}  // namespace tarn::host
