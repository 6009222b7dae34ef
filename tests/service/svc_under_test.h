// The procedures as the tests call them: through the client wrappers and the
// RPC runtime to the server that service_env.cpp runs in this process.
#pragma once

#include "service/client/svcclient.h"

namespace svc {
using ::SvcCreateImage;
using ::SvcGetFinished;
using ::SvcGetLastMessage;
using ::SvcGetProgress;
using ::SvcGetResult;
using ::SvcLockDrive;
using ::SvcMountImage;
using ::SvcPing;
using ::SvcQueryDrive;
using ::SvcQueryMount;
using ::SvcQuickDecryptDrive;
using ::SvcQuickEncryptDrive;
using ::SvcStartDriveConversion;
using ::SvcStartImageConversion;
using ::SvcUnlockDrive;
using ::SvcUnmountImage;
}  // namespace svc
