#include "platform/host/fs/recognizer.h"

#include <array>

#include "platform/host/fs/ext_recognizer.h"
#include "platform/host/fs/fat_recognizer.h"
#include "platform/host/fs/iso_recognizer.h"

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
    // FIXME: UDF (DVDs written without an ISO 9660 bridge) is not
    // recognised yet; such media answer as RAW volumes.
    const char* isoWhy = nullptr;
    if (auto iso = recognizeIso(read, &isoWhy)) return *iso;
    // Name the rule that failed when the volume looked like one of them at all.
    const bool fatLike = probe[510] == 0x55 && probe[511] == 0xAA;
    const bool extLike = probe[kExtSuperblockOffset + 0x38] == 0x53 && probe[kExtSuperblockOffset + 0x39] == 0xEF;
    result.reason = fatLike ? fatWhy : extLike ? extWhy : isoWhy ? isoWhy : "no known file system";
    return result;
}

}  // namespace tarn::hostfs
