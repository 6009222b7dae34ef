// Umbrella header for kernel-mode drivers.
#pragma once

#include "wdm.h"
