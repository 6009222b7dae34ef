// Mounting images on drive letters through the virtual disk driver.
#pragma once

#include <cstdint>

#include "service/mount_record.h"

// Binds the letter to device deviceNumber, hands the driver the record and
// stores it. 0 or the Win32 error; failures are also written to standard
// error as "%s %s %d".
long MountImage(int32_t deviceNumber, const VDISK_MOUNT_RECORD& record, char driveLetter);
// Mounts every stored record again, in ascending device number, with the
// letter each record carries. Failed ones stay stored for the next start.
void RemountStoredImages();
