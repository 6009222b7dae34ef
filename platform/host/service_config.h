// Where the machine finds its services: the services database in the
// registry (HKLM\SYSTEM\CurrentControlSet\Services\<name>: ImagePath, Type),
// then the built-in entries for tarnsvc and the VTarn driver.
#pragma once

#include <optional>
#include <string>

#include "platform/host/service_manager.h"

namespace tarn::host {

std::optional<ServiceConfig> ServiceFromRegistry(const std::string& name);

}  // namespace tarn::host
