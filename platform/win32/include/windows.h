// The Win32 surface of this platform layer, as the deliverables include it.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "winioctl.h"
#include "winreg.h"
#include "fileapi.h"
#include "winsvc.h"
#include "dbt.h"
