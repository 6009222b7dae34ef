// Before the service takes a drive away from its users (lock, unmount,
// conversion), the drive's file-system views on Linux are closed: a loop
// mount or fusefat over the drive's block file would otherwise keep writing
// through a drive that has lost its key or its medium.
#pragma once

namespace tarnsvc {

// drive: "E:", "E:\" or a device path "\\.\E:". Names without a drive letter
// (volume interfaces) have no views: 0. Otherwise 0 when no view is left, or
// ERROR_SHARING_VIOLATION while files under a view are open, or
// ERROR_ACCESS_DENIED when a view cannot be closed; LastMessage then says
// which directory and why.
long CloseDriveViews(const char* drive);

}  // namespace tarnsvc
