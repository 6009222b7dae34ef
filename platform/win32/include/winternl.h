// The one native call user-mode code uses: NTSTATUS to Win32 error.
#pragma once

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

ULONG WINAPI RtlNtStatusToDosError(NTSTATUS Status);

#ifdef __cplusplus
}
#endif
