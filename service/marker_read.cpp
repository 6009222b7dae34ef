#include "service/marker_read.h"

#include <cstdlib>

#include "cipher/keys.h"
#include "service/file_at.h"

namespace {

// Whole sectors of every drive kind (CD/DVD sectors are 2048 bytes), and
// aligned, as unbuffered volume reads want.
constexpr DWORD kProbeBytes = 4096;

}  // namespace

bool ShowMarkerToFilter(HANDLE volume) {
    auto* bytes = static_cast<uint8_t*>(std::aligned_alloc(kProbeBytes, kProbeBytes));
    if (bytes == nullptr) return false;
    const bool read = ReadAt(volume, 0, bytes, kProbeBytes);
    SecureWipe(bytes, kProbeBytes);
    std::free(bytes);
    return read;
}
