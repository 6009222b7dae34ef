#include "platform/host/fs/recognizer.h"

#include <array>

#include "platform/host/fs/ext_recognizer.h"
#include "platform/host/fs/fat_recognizer.h"

namespace tarn::hostfs {

MountResult recognizeVolume(const ReadFn& read) {
    std::array<std::uint8_t, kProbeBytes> probe{};
    MountResult result;
    if (const IoStatus status = read(0, probe); status != kIoSuccess) {
        result.outcome = MountOutcome::ReadFailed;
        result.ioStatus = status;
        result.reason = "first sectors unreadable";
        return result;
    }
    const char* fatWhy = "";
    if (auto fat = recognizeFat(probe, read, &fatWhy)) return *fat;
    const char* extWhy = "";
    if (auto ext = recognizeExt(std::span(probe).subspan(kExtSuperblockOffset, kExtSuperblockSize), &extWhy))
        return *ext;
    // Report the FAT reason when the sector looked like a boot sector at all.
    result.reason = probe[510] == 0x55 && probe[511] == 0xAA ? fatWhy : extWhy;
    return result;
}

}  // namespace tarn::hostfs
