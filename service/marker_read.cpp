#include "service/marker_read.h"

#include "cipher/keys.h"
#include "service/aligned_buffer.h"
#include "service/file_at.h"

namespace {

// Whole sectors of every drive kind (CD/DVD sectors are 2048 bytes).
constexpr DWORD kProbeBytes = 4096;

}  // namespace

bool ShowMarkerToFilter(HANDLE volume) {
    AlignedBuffer bytes = AllocateAligned(kProbeBytes);
    if (!bytes) return false;
    const bool read = ReadAt(volume, 0, bytes.get(), kProbeBytes);
    SecureWipe(bytes.get(), kProbeBytes);
    return read;
}
