// Opening the machine's devices: every "\\.\" name CreateFileA receives.
#pragma once

#include <memory>
#include <string_view>

#include "io_object.h"
#include "result.h"

namespace tarn::win32 {

struct DeviceOpenRequest {
  std::string_view name;  // what follows "\\.\", e.g. "E:"
  unsigned access;        // AccessBits
  DWORD desiredAccess;    // as the caller gave it
  DWORD shareMode;
  DWORD disposition;
  DWORD flagsAndAttributes;
};

// THE HOOK for device handles: the machine connection plugs in here and
// returns its own IoObject (reads, writes and control codes forwarded to the
// machine process). Callers never change.
Result<std::shared_ptr<IoObject>> OpenDevice(const DeviceOpenRequest& request);

}  // namespace tarn::win32
