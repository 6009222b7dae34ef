#include "platform/host/fs/fat_formatter.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/host/fs/fat_label.h"
#include "platform/host/fs/little_endian.h"
#include "platform/host/fs/recognizer.h"

namespace tarn::hostfs {

namespace {

constexpr std::uint64_t kChunkBytes = 1 << 20;

class Writer {
public:
    explicit Writer(const VolumeSink& volume) : volume_(volume) {}

    // Writes data at offset in chunks; the first failure sticks.
    bool write(std::uint64_t offset, std::span<const std::uint8_t> data) {
        for (std::size_t done = 0; done < data.size() && status_ == kIoSuccess;) {
            const std::size_t n = std::min<std::size_t>(kChunkBytes, data.size() - done);
            status_ = volume_.write(offset + done, data.subspan(done, n));
            if (status_ != kIoSuccess)
                failedAt_ = offset + done;
            else
                changed_ = true;
            done += n;
        }
        return status_ == kIoSuccess;
    }

    // Zeroes length bytes at offset, head being the first bytes.
    bool zeroFill(std::uint64_t offset, std::uint64_t length, std::span<const std::uint8_t> head = {}) {
        for (std::uint64_t done = 0; done < length && status_ == kIoSuccess;) {
            const std::size_t n = static_cast<std::size_t>(std::min(kChunkBytes, length - done));
            if (chunk_.size() < n) chunk_.assign(n, 0);
            const std::span<std::uint8_t> piece(chunk_.data(), n);
            const std::size_t headBytes = done == 0 ? std::min(head.size(), n) : 0;
            std::copy_n(head.begin(), headBytes, piece.begin());
            write(offset + done, piece);
            std::fill_n(piece.begin(), headBytes, 0);
            done += n;
        }
        return status_ == kIoSuccess;
    }

    IoStatus status() const { return status_; }
    std::uint64_t failedAt() const { return failedAt_; }
    bool changedAnything() const { return changed_; }

private:
    const VolumeSink& volume_;
    std::vector<std::uint8_t> chunk_;  // zeros between uses
    IoStatus status_ = kIoSuccess;
    std::uint64_t failedAt_ = 0;
    bool changed_ = false;
};

// Entries 0 and 1 carry the media byte and the end-of-chain mark (with the
// clean-shutdown bits set); on FAT32, entry 2 ends the root directory chain.
std::vector<std::uint8_t> fatHead(const FatGeometry& g) {
    std::vector<std::uint8_t> head;
    switch (g.type) {
    case FatType::Fat12:
        head = {g.media, 0xFF, 0xFF};
        break;
    case FatType::Fat16:
        head = {g.media, 0xFF, 0xFF, 0xFF};
        break;
    case FatType::Fat32:
        head.assign(12, 0);
        storeLe32(head, 0, 0x0FFFFF00u | g.media);
        storeLe32(head, 4, 0x0FFFFFFF);
        storeLe32(head, 8, 0x0FFFFFFF);
        break;
    }
    return head;
}

std::vector<std::uint8_t> labelEntry(const FatLabel& label, const FormatOptions& options) {
    std::vector<std::uint8_t> entry(32, 0);
    std::memcpy(entry.data(), label.data(), label.size());
    entry[11] = 0x08;                        // volume label
    storeLe16(entry, 22, options.dosTime);
    storeLe16(entry, 24, options.dosDate);
    return entry;
}

void encodeFsInfo(const FatGeometry& g, std::span<std::uint8_t> sector) {
    storeLe32(sector, 0, 0x41615252);
    storeLe32(sector, 484, 0x61417272);
    storeLe32(sector, 488, g.clusterCount() - 1);  // all but the root directory's cluster
    storeLe32(sector, 492, 3);                     // first cluster after the root directory
    storeLe32(sector, 508, 0xAA550000);
}

FormatResult fail(FormatError error, std::string message) {
    FormatResult result;
    result.error = error;
    result.message = std::move(message);
    return result;
}

}  // namespace

FormatResult formatFat(const VolumeSink& volume, const FormatOptions& options) {
    std::string labelError;
    const std::optional<FatLabel> label = makeFatLabel(options.label, &labelError);
    if (!label) return fail(FormatError::InvalidLabel, labelError);
    const FatLayout layout = planFatLayout(volume.sizeBytes, options.kind);
    if (layout.error != FormatError::None) return fail(layout.error, layout.message);

    FormatResult result;
    result.geometry = layout.geometry;
    FatGeometry& g = result.geometry;
    g.hiddenSectors = options.hiddenSectors;
    Writer out(volume);

    // First wipe what a recognizer looks at, so that a format failing
    // part-way cannot leave the old file system mountable over a half-written
    // FAT. These bytes all belong to the metadata written below.
    out.zeroFill(0, std::min<std::uint64_t>(kProbeBytes, g.sectorOffset(g.firstDataSector())));

    // Both FATs.
    const std::vector<std::uint8_t> head = fatHead(g);
    const std::uint64_t fatBytes = std::uint64_t(g.sectorsPerFat) * g.bytesPerSector;
    for (std::uint32_t i = 0; i < g.fatCount; ++i)
        out.zeroFill(g.sectorOffset(g.reservedSectors + std::uint64_t(i) * g.sectorsPerFat), fatBytes, head);

    // The root directory, opened by the volume label entry when there is one.
    const bool hasLabel = !options.label.empty();
    const std::vector<std::uint8_t> entry = hasLabel ? labelEntry(*label, options) : std::vector<std::uint8_t>{};
    if (g.type == FatType::Fat32)
        out.zeroFill(g.clusterOffset(g.rootCluster), g.clusterBytes(), entry);
    else
        out.zeroFill(g.sectorOffset(g.rootDirFirstSector()), std::uint64_t(g.rootDirSectors()) * g.bytesPerSector,
                     entry);

    // The reserved area last: until the boot sector is there, nothing mounts.
    std::vector<std::uint8_t> reserved(std::uint64_t(g.reservedSectors) * g.bytesPerSector, 0);
    FatBootSector boot;
    boot.geometry = g;
    boot.serial = options.serial;
    boot.label = hasLabel ? *label : makeFatLabel("NO NAME").value();
    encodeFatBootSector(boot, reserved);
    if (g.type == FatType::Fat32) {
        const std::span<std::uint8_t> area(reserved);
        encodeFsInfo(g, area.subspan(g.sectorOffset(g.fsInfoSector), g.bytesPerSector));
        std::copy_n(reserved.begin(), 2 * g.bytesPerSector, reserved.begin() + g.sectorOffset(g.backupBootSector));
    }
    out.write(0, reserved);

    if (out.status() != kIoSuccess) {
        result.error = FormatError::WriteFailed;
        result.ioStatus = out.status();
        result.message = "a write to the volume failed at byte " + std::to_string(out.failedAt()) +
                         (out.changedAnything() ? "; the volume now holds no file system"
                                                : "; nothing on the volume was changed");
    }
    return result;
}

std::uint32_t volumeSerialAt(const std::tm& t, int hundredths) {
    const std::uint32_t high = ((std::uint32_t(t.tm_mon + 1) << 8) | std::uint32_t(t.tm_mday)) +
                               ((std::uint32_t(t.tm_sec) << 8) | std::uint32_t(hundredths));
    const std::uint32_t low = ((std::uint32_t(t.tm_hour) << 8) | std::uint32_t(t.tm_min)) +
                              std::uint32_t(t.tm_year + 1900);
    return ((high & 0xFFFF) << 16) | (low & 0xFFFF);
}

std::uint16_t dosDateOf(const std::tm& t) {
    if (t.tm_year < 80) return 0x0021;
    const int year = std::min(t.tm_year - 80, 127);
    return static_cast<std::uint16_t>((year << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday);
}

std::uint16_t dosTimeOf(const std::tm& t) {
    return static_cast<std::uint16_t>((t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec / 2));
}

}  // namespace tarn::hostfs
