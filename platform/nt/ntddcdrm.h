// CD-ROM control codes and records live with the disk ones.
#pragma once

#include "ntdddisk.h"
