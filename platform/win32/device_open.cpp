#include "device_open.h"

#include <string>

#include "platform/win32/device_object.h"
#include "winerror.h"

namespace tarn::win32 {

Result<std::shared_ptr<IoObject>> OpenDevice(const DeviceOpenRequest& request) {
  // Every "\\.\" name is a device of the machine (tarnhost).
  auto device = DeviceObject::Open("\\\\.\\" + std::string(request.name), request.access, request.desiredAccess,
                                   request.shareMode);
  if (!device.ok()) return Result<std::shared_ptr<IoObject>>::Fail(device.error());
  return std::shared_ptr<IoObject>(std::move(device.value()));
}

}  // namespace tarn::win32
