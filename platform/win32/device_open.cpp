#include "device_open.h"

#include "winerror.h"

namespace tarn::win32 {

Result<std::shared_ptr<IoObject>> OpenDevice(const DeviceOpenRequest&) {
  // FIXME: forward to the machine process over its socket; until that exists
  // no device name is known.
  return Result<std::shared_ptr<IoObject>>::Fail(ERROR_FILE_NOT_FOUND);
}

}  // namespace tarn::win32
