// The medium's read mapping. Reads copy from it instead of calling pread:
// the same page-cache pages, without the per-page lookups of a read call,
// which matters because an unlocked drive's read also waits for its
// decryption under the filter's lock. pwrite goes to the same pages, so the
// mapping never shows stale bytes.
#include <sys/mman.h>
#include <unistd.h>

#include "platform/host/volume/volume.h"

namespace tarn::host {

void MapMedia(VolumeMedia& media) {
    media.view = nullptr;
    if (media.fd < 0 || media.length == 0) return;
    void* view = ::mmap(nullptr, media.length, PROT_READ, MAP_SHARED, media.fd, 0);
    if (view != MAP_FAILED) media.view = static_cast<const UCHAR*>(view);
}

void CloseMedia(VolumeMedia& media) {
    if (media.view) ::munmap(const_cast<UCHAR*>(media.view), media.length);
    media.view = nullptr;
    if (media.fd >= 0) ::close(media.fd);
    media.fd = -1;
    media.length = 0;
}

}  // namespace tarn::host
