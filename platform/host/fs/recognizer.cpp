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
    // FIXME: CD/DVD file systems (ISO 9660, UDF) are not recognised yet, so
    // such media answer as RAW volumes.
    const char* fatWhy = "";
    if (auto fat = recognizeFat(probe, read, &fatWhy)) return *fat;
    const char* extWhy = "";
    if (auto ext = recognizeExt(std::span(probe).subspan(kExtSuperblockOffset, kExtSuperblockSize), &extWhy))
        return *ext;
    // Name the rule that failed when the volume looked like one of them at all.
    const bool fatLike = probe[510] == 0x55 && probe[511] == 0xAA;
    const bool extLike = probe[kExtSuperblockOffset + 0x38] == 0x53 && probe[kExtSuperblockOffset + 0x39] == 0xEF;
    result.reason = fatLike ? fatWhy : extLike ? extWhy : "no known file system";
    return result;
}

}  // namespace tarn::hostfs
