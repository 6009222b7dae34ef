#include "service/image_layout.h"

#include <cstring>
#include <mutex>

#include "service/win32.h"

namespace {

using Sector = std::array<uint8_t, kImageSectorSize>;

void Put16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// A boot loader that halts: nothing boots from these images, and any code
// works in those byte ranges. cli; hlt; jmp back to hlt.
constexpr uint8_t kHaltCode[] = {0xFA, 0xF4, 0xEB, 0xFD};

void PutLabel(uint8_t* p, const char* label) {
    // Cut to 11 bytes and padded with zero bytes, as the label entry has it.
    std::memset(p, 0, 11);
    if (label) {
        size_t n = strnlen(label, 11);
        std::memcpy(p, label, n);
    }
}

Sector MakeMbr(uint64_t imageBytes, ImageFs fs) {
    Sector s{};
    std::memcpy(s.data(), kHaltCode, sizeof kHaltCode);
    Put32(&s[440], kMbrDiskSignature);
    uint8_t* e = &s[446];
    e[0] = 0x80;
    e[1] = 0x01; e[2] = 0x01; e[3] = 0x00;
    e[4] = fs == ImageFs::Fat16 ? 0x0E : 0x0B;
    e[5] = e[6] = e[7] = 0x00;
    Put32(&e[8], uint32_t(kPartitionStartSector));
    // The partition ends with the image: its sectors start at 63.
    Put32(&e[12], uint32_t(imageBytes / kImageSectorSize - kPartitionStartSector));
    s[510] = 0x55; s[511] = 0xAA;
    return s;
}

Sector MakeLabelEntrySector(const char* label) {
    Sector s{};
    PutLabel(&s[0], label);
    s[11] = 0x08;
    return s;
}

void PutCommonBpb(uint8_t* b, uint8_t spc, uint16_t reserved) {
    std::memcpy(&b[3], "Orvantis", 8);
    Put16(&b[11], kImageSectorSize);
    b[13] = spc;
    Put16(&b[14], reserved);
    b[16] = 2;
    b[21] = 0xF8;
    Put16(&b[24], 63);
    Put16(&b[26], 255);
    Put32(&b[28], 63);
}

// The standard FAT16 cluster-size table, by volume sectors (0 = cannot hold).
uint8_t Fat16TableClusterSize(uint32_t volumeSectors) {
    if (volumeSectors <= 8400) return 0;
    if (volumeSectors <= 32680) return 2;
    if (volumeSectors <= 262144) return 4;
    if (volumeSectors <= 524288) return 8;
    if (volumeSectors <= 1048576) return 16;
    if (volumeSectors <= 2097152) return 32;
    if (volumeSectors <= 4194304) return 64;
    return 0;
}

constexpr uint16_t kFat16Reserved = 8;
constexpr uint32_t kFat16RootSectors = 512 * 32 / kImageSectorSize;

uint32_t Fat16Clusters(uint32_t v, uint8_t spc, uint32_t fat) {
    uint64_t used = uint64_t(kFat16Reserved) + 2ull * fat + kFat16RootSectors;
    return used >= v ? 0 : uint32_t((v - used) / spc);
}

// The formula's FAT where it covers every cluster and the two reserved
// entries, else the smallest FAT that does.
uint32_t Fat16SectorsPerFat(uint32_t v, uint8_t spc) {
    uint32_t fat = uint32_t(((uint64_t(v) * 512 / 4096) * 2) / 512);
    while ((uint64_t(Fat16Clusters(v, spc, fat)) + 2) * 2 > uint64_t(fat) * kImageSectorSize) ++fat;
    return fat;
}

bool PlanFat16(uint32_t v, const char* label, uint32_t serial, ImagePlan* plan) {
    // 8 sectors per cluster wherever that gives a FAT16 cluster count; the
    // standard table's size otherwise.
    uint8_t spc = 8;
    uint32_t clusters = Fat16Clusters(v, spc, Fat16SectorsPerFat(v, spc));
    if (clusters < kFat16MinClusters || clusters > kFat16MaxClusters) {
        spc = Fat16TableClusterSize(v);
        if (spc == 0) return false;
        clusters = Fat16Clusters(v, spc, Fat16SectorsPerFat(v, spc));
        if (clusters < kFat16MinClusters || clusters > kFat16MaxClusters) return false;
    }
    uint32_t fat = Fat16SectorsPerFat(v, spc);

    Sector boot{};
    uint8_t* b = boot.data();
    b[0] = 0xEB; b[1] = 0x3C; b[2] = 0x90;
    PutCommonBpb(b, spc, kFat16Reserved);
    Put16(&b[17], 512);
    Put16(&b[19], v < 65536 ? uint16_t(v) : 0);
    Put16(&b[22], uint16_t(fat));
    Put32(&b[32], v < 65536 ? 0 : v);
    b[36] = 0x80;
    b[38] = 0x29;
    Put32(&b[39], serial);
    PutLabel(&b[43], label);
    std::memcpy(&b[54], "FAT16   ", 8);
    std::memcpy(&b[62], kHaltCode, sizeof kHaltCode);
    b[510] = 0x55; b[511] = 0xAA;

    // Entries 0 and 1: the media byte, and end of chain with the clean bit set
    // (0x0FFF in entry 1 would read as a volume that was not unmounted).
    Sector fatStart{};
    Put16(&fatStart[0], 0xFFF8);
    Put16(&fatStart[2], 0xFFFF);

    const uint64_t base = plan->VolumeOffset;
    plan->Sectors.push_back({base, boot});
    // Both FATs alike, so the copies agree.
    plan->Sectors.push_back({base + uint64_t(kFat16Reserved) * 512, fatStart});
    plan->Sectors.push_back({base + (uint64_t(kFat16Reserved) + fat) * 512, fatStart});
    plan->Sectors.push_back({base + (uint64_t(kFat16Reserved) + 2ull * fat) * 512,
                             MakeLabelEntrySector(label)});
    plan->SectorsPerCluster = spc;
    plan->ReservedSectors = kFat16Reserved;
    plan->SectorsPerFat = fat;
    plan->Clusters = clusters;
    return true;
}

// The standard FAT32 cluster-size table, by the image's total sectors.
uint8_t Fat32ClusterSize(uint64_t totalSectors) {
    if (totalSectors < 66600) return 0;
    if (totalSectors < 532480) return 1;
    if (totalSectors < 16777216) return 8;
    if (totalSectors < 33554432) return 16;
    if (totalSectors < 67108864) return 32;
    return 64;
}

constexpr uint16_t kFat32Reserved = 32;

bool PlanFat32(uint64_t imageBytes, uint32_t v, const char* label, ImagePlan* plan) {
    uint8_t spc = Fat32ClusterSize(imageBytes / kImageSectorSize);
    if (spc == 0) return false;  // too small for FAT32: refused, no fallback
    uint32_t fat = uint32_t((uint64_t(v) + 96) / 129);
    const uint64_t used = uint64_t(kFat32Reserved) + 2ull * fat;
    if (used >= v) return false;
    // The FAT size above assumes one sector per cluster, so just above a
    // table boundary the table's cluster size can leave fewer clusters than
    // FAT32 needs; smaller clusters then, down to one sector.
    while (spc > 1 && (v - used) / spc < kFat32MinClusters) spc /= 2;
    if ((v - used) / spc < kFat32MinClusters) return false;

    Sector boot{};
    uint8_t* b = boot.data();
    b[0] = 0xEB; b[1] = 0x58; b[2] = 0x90;
    PutCommonBpb(b, spc, kFat32Reserved);
    Put32(&b[32], v);
    Put32(&b[36], fat);
    Put32(&b[44], 2);
    Put16(&b[48], 1);
    Put16(&b[50], 6);
    b[64] = 0x80;
    b[66] = 0x29;
    Put32(&b[67], 0xCC36F7A7);
    std::memcpy(&b[71], "NO NAME    ", 11);
    std::memcpy(&b[82], "FAT32   ", 8);
    std::memcpy(&b[90], kHaltCode, sizeof kHaltCode);
    b[510] = 0x55; b[511] = 0xAA;

    Sector fsInfo{};
    Put32(&fsInfo[0], 0x41615252);
    Put32(&fsInfo[484], 0x61417272);
    Put32(&fsInfo[488], 0xFFFFFFFF);
    Put32(&fsInfo[492], 0xFFFFFFFF);
    Put32(&fsInfo[508], 0xAA550000);

    Sector signatureOnly{};
    signatureOnly[510] = 0x55; signatureOnly[511] = 0xAA;

    Sector fatStart{};
    Put32(&fatStart[0], 0x0FFFFFF8);
    Put32(&fatStart[4], 0xFFFFFFFF);
    Put32(&fatStart[8], 0x0FFFFFFF);

    const uint64_t base = plan->VolumeOffset;
    auto at = [base](uint64_t sector) { return base + sector * 512; };
    plan->Sectors.push_back({at(0), boot});
    plan->Sectors.push_back({at(1), fsInfo});
    plan->Sectors.push_back({at(2), signatureOnly});
    // Sector 6, the backup boot sector, stays zero.
    plan->Sectors.push_back({at(7), fsInfo});
    plan->Sectors.push_back({at(8), signatureOnly});
    plan->Sectors.push_back({at(kFat32Reserved), fatStart});
    plan->Sectors.push_back({at(uint64_t(kFat32Reserved) + fat), fatStart});
    plan->Sectors.push_back({at(uint64_t(kFat32Reserved) + 2ull * fat), MakeLabelEntrySector(label)});
    plan->SectorsPerCluster = spc;
    plan->ReservedSectors = kFat32Reserved;
    plan->SectorsPerFat = fat;
    plan->Clusters = uint32_t((v - used) / spc);
    return true;
}

struct SerialGenerator {
    std::mutex Lock;
    uint32_t State = 1;  // the value an unseeded generator starts from
};

SerialGenerator& Serials() {
    static SerialGenerator g;
    return g;
}

}  // namespace

uint32_t NextVolumeSerial() {
    SerialGenerator& g = Serials();
    std::lock_guard<std::mutex> hold(g.Lock);
    g.State = g.State * 214013u + 2531011u;
    return (g.State >> 16) & 0x7FFF;
}

void ResetVolumeSerialForTest() {
    SerialGenerator& g = Serials();
    std::lock_guard<std::mutex> hold(g.Lock);
    g.State = 1;
}

uint32_t PlanFatImage(int64_t sizeBytes, ImageFs fs, bool withPartitionTable,
                      const char* volumeLabel, uint32_t serial, ImagePlan* plan) {
    *plan = ImagePlan{};
    // The volume needs room for the 32 KiB tail, the 63 sectors before a
    // partition and its own structures; the 32-bit sector fields bound it above.
    if (sizeBytes <= int64_t(kImageTailBytes)) return ERROR_INVALID_PARAMETER;
    const uint64_t s = uint64_t(sizeBytes);
    const uint64_t v64 = (s - kImageTailBytes) / kImageSectorSize;
    if (v64 > 0xFFFFFFFFull || s / kImageSectorSize > 0xFFFFFFFFull) return ERROR_INVALID_PARAMETER;
    if (withPartitionTable && v64 <= kPartitionStartSector) return ERROR_INVALID_PARAMETER;

    ImagePlan p;
    p.ImageBytes = s;
    p.VolumeSectors = uint32_t(v64);
    p.VolumeOffset = withPartitionTable ? kPartitionStartSector * kImageSectorSize : 0;
    if (withPartitionTable) p.Sectors.push_back({0, MakeMbr(s, fs)});

    bool ok = fs == ImageFs::Fat16 ? PlanFat16(p.VolumeSectors, volumeLabel, serial, &p)
                                   : PlanFat32(s, p.VolumeSectors, volumeLabel, &p);
    if (!ok) return ERROR_INVALID_PARAMETER;
    *plan = std::move(p);
    return 0;
}
