// Entry of the virtual disk driver vtarn: what the host needs to load it.
#pragma once

#include <ntddk.h>

// Creates "\Device\Ombrel" with the disks Ombrel0..7 and the CD/DVD drives
// OmbrelCd0..7, each with its worker thread, and fills the dispatch table.
extern "C" DRIVER_INITIALIZE DriverEntry;
