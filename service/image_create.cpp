// SvcCreateImage: a sparse file of exactly the requested size holding an
// empty FAT16 or FAT32 file system, optionally behind a partition table.
#include <algorithm>
#include <cstring>

#include "service/file_at.h"
#include "service/handle_guard.h"
#include "service/image_layout.h"
#include "service/impersonation.h"
#include "service/procedures.h"
#include "service/win32.h"

namespace {

constexpr uint64_t kMappingWindow = 0x6400000;  // 100 MiB mapped at most

class MappedView {
public:
    MappedView(HANDLE mapping, size_t bytes)
        : View(static_cast<uint8_t*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, bytes))) {}
    ~MappedView() {
        if (View) UnmapViewOfFile(View);
    }
    MappedView(const MappedView&) = delete;
    MappedView& operator=(const MappedView&) = delete;
    uint8_t* Get() const { return View; }

private:
    uint8_t* View;
};

}  // namespace

namespace tarnsvc {

long SvcCreateImage(const char* imageFile, int64_t sizeBytes, long fsType, long withPartitionTable,
                    const char* volumeLabel) {
    if (imageFile == nullptr || imageFile[0] == '\0' || sizeBytes < 0) return ERROR_INVALID_PARAMETER;

    // The layout is settled before the file is touched, so a size the file
    // system cannot hold loses nothing that was there.
    const bool fat = fsType == 0 || fsType == 1;
    ImagePlan plan;
    if (fat) {
        const ImageFs fs = fsType == 0 ? ImageFs::Fat16 : ImageFs::Fat32;
        uint32_t serial = fs == ImageFs::Fat16 ? NextVolumeSerial() : 0;
        uint32_t error = PlanFatImage(sizeBytes, fs, withPartitionTable != 0, volumeLabel, serial, &plan);
        if (error != 0) return long(error);
    }

    CallerImpersonation caller;
    if (caller.Error() != 0) return caller.Error();

    HandleGuard file(CreateFileA(imageFile, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) return long(GetLastError());

    DWORD returned = 0;
    DeviceIoControl(file.Get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);

    LARGE_INTEGER end;
    end.QuadPart = sizeBytes;
    if (!SetFilePointerEx(file.Get(), end, nullptr, FILE_BEGIN) || !SetEndOfFile(file.Get()))
        return long(GetLastError());
    if (!fat || sizeBytes == 0) return 0;

    const uint64_t window = std::min<uint64_t>(uint64_t(sizeBytes), kMappingWindow);
    HandleGuard mapping(CreateFileMappingA(file.Get(), nullptr, PAGE_READWRITE | SEC_COMMIT, 0, 0, nullptr));
    if (!mapping.Valid()) return long(GetLastError());
    MappedView view(mapping.Get(), size_t(window));
    if (view.Get() == nullptr) return long(GetLastError());

    // The FAT32 root directory and anything past the window go through the
    // file; a failed write is reported, never passed off as a finished image.
    const uint64_t rootOffset = plan.Sectors.back().Offset;
    const bool fat32 = fsType == 1;
    DWORD firstError = 0;
    for (const ImageSector& sector : plan.Sectors) {
        const bool viaFile = (fat32 && sector.Offset == rootOffset) || sector.Offset + kImageSectorSize > window;
        if (!viaFile) {
            std::memcpy(view.Get() + sector.Offset, sector.Data.data(), kImageSectorSize);
            continue;
        }
        DWORD error = WriteAt(file.Get(), sector.Offset, sector.Data.data(), kImageSectorSize);
        if (error != 0 && firstError == 0) firstError = error;
    }
    return long(firstError);
}

}  // namespace tarnsvc
