// The request handlers of the block view (FUSE low-level operations).
#pragma once

#define FUSE_USE_VERSION 34
#include <fuse_lowlevel.h>

namespace tarn::host::fuse {

// The table the session is made with; userdata is the BlockView.
const fuse_lowlevel_ops& BlockViewOperations();

}  // namespace tarn::host::fuse
