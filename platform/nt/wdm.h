// The kernel interface for drivers, by the Windows driver kit's names.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"
#include "wdm_ke.h"
#include "wdm_ex.h"
#include "wdm_rtl.h"
#include "wdm_ob.h"
#include "wdm_io.h"
