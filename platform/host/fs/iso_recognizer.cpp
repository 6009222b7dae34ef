#include "platform/host/fs/iso_recognizer.h"

#include <array>
#include <cstring>
#include <span>

#include "platform/host/fs/little_endian.h"

namespace tarn::hostfs {

namespace {

using Descriptor = std::array<std::uint8_t, kIsoSectorSize>;

constexpr std::uint8_t kTypePrimary = 1;
constexpr std::uint8_t kTypeSupplementary = 2;
constexpr std::uint8_t kTypeTerminator = 255;

constexpr std::size_t kVolumeIdOffset = 40;
constexpr std::size_t kVolumeIdBytes = 32;
constexpr std::size_t kSpaceSizeOffset = 80;
constexpr std::size_t kEscapeOffset = 88;
constexpr std::size_t kBlockSizeOffset = 128;

// What a CD file system answers: case-sensitive search, read-only volume,
// and Unicode names only with Joliet; names are shorter under Joliet.
constexpr std::uint32_t kFileCaseSensitiveSearch = 0x1;
constexpr std::uint32_t kFileUnicodeOnDisk = 0x4;
constexpr std::uint32_t kFileReadOnlyVolume = 0x80000;
constexpr std::uint32_t kJolietMaxComponent = 110;
constexpr std::uint32_t kIsoMaxComponent = 221;

std::optional<MountResult> reject(const char** why, const char* reason) {
    if (why) *why = reason;
    return std::nullopt;
}

std::uint32_t loadBe32(std::span<const std::uint8_t> b, std::size_t at) {
    return (std::uint32_t(b[at]) << 24) | (std::uint32_t(b[at + 1]) << 16) | (std::uint32_t(b[at + 2]) << 8) |
           b[at + 3];
}

std::uint16_t loadBe16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}

bool isStandardDescriptor(const Descriptor& d) { return std::memcmp(&d[1], "CD001", 5) == 0 && d[6] == 1; }

// Joliet marks its supplementary descriptor with one of three escape
// sequences (UCS-2 levels 1 to 3).
bool isJoliet(const Descriptor& d) {
    return d[0] == kTypeSupplementary && d[kEscapeOffset] == '%' && d[kEscapeOffset + 1] == '/' &&
           (d[kEscapeOffset + 2] == '@' || d[kEscapeOffset + 2] == 'C' || d[kEscapeOffset + 2] == 'E');
}

void appendUtf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The primary label is 32 bytes padded with spaces.
std::string primaryLabel(const Descriptor& d) {
    std::size_t end = kVolumeIdBytes;
    while (end > 0 && (d[kVolumeIdOffset + end - 1] == ' ' || d[kVolumeIdOffset + end - 1] == 0)) --end;
    return std::string(reinterpret_cast<const char*>(&d[kVolumeIdOffset]), end);
}

// The Joliet label is 16 big-endian UCS-2 characters padded with spaces;
// it comes out as UTF-8, a broken surrogate pair as U+FFFD.
std::string jolietLabel(const Descriptor& d) {
    std::array<std::uint16_t, kVolumeIdBytes / 2> units{};
    for (std::size_t i = 0; i < units.size(); ++i) units[i] = loadBe16(d, kVolumeIdOffset + 2 * i);
    std::size_t count = units.size();
    while (count > 0 && (units[count - 1] == u' ' || units[count - 1] == 0)) --count;
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t u = units[i];
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
            appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u < 0xE000) {
            appendUtf8(out, 0xFFFD);
        } else {
            appendUtf8(out, u);
        }
    }
    return out;
}

// A CD file system's serial number: a byte-wise checksum of the volume
// descriptor it mounted, the first byte of every four summed into the
// serial's top byte.
std::uint32_t descriptorSerial(const Descriptor& d) {
    std::array<std::uint8_t, 4> sum{};
    for (std::size_t i = 0; i < d.size(); ++i) sum[i % 4] = static_cast<std::uint8_t>(sum[i % 4] + d[i]);
    return (std::uint32_t(sum[0]) << 24) | (std::uint32_t(sum[1]) << 16) | (std::uint32_t(sum[2]) << 8) | sum[3];
}

}  // namespace

std::optional<MountResult> recognizeIso(const ReadFn& read, const char** why) {
    Descriptor current{};
    std::optional<Descriptor> primary, joliet;
    for (unsigned n = 0; n < kIsoMaxDescriptors; ++n) {
        const std::uint64_t offset = (kIsoFirstDescriptorSector + n) * kIsoSectorSize;
        if (const IoStatus status = read(offset, current); status != kIoSuccess) {
            // Too short to hold a descriptor at all is simply no CD file
            // system; a set that breaks off after its primary descriptor is
            // a damaged disc, reported as the read failure it is.
            if (!primary) return std::nullopt;
            MountResult failed;
            failed.outcome = MountOutcome::ReadFailed;
            failed.ioStatus = status;
            failed.reason = "ISO 9660 descriptor set unreadable";
            return failed;
        }
        if (!isStandardDescriptor(current) || current[0] == kTypeTerminator) break;
        if (current[0] == kTypePrimary && !primary) primary = current;
        if (isJoliet(current) && !joliet) joliet = current;
    }
    if (!primary) return std::nullopt;

    // Both-endian fields must agree with themselves; a disc whose do not is
    // damaged, and its sizes cannot be trusted.
    const Descriptor& p = *primary;
    const std::uint32_t blocks = loadLe32(p, kSpaceSizeOffset);
    const std::uint16_t blockSize = loadLe16(p, kBlockSizeOffset);
    if (blocks != loadBe32(p, kSpaceSizeOffset + 4) || blockSize != loadBe16(p, kBlockSizeOffset + 2)) {
        return reject(why, "ISO 9660 both-endian fields disagree");
    }
    if (blocks == 0) return reject(why, "empty ISO 9660 volume");
    if (blockSize != 512 && blockSize != 1024 && blockSize != 2048) return reject(why, "bad ISO 9660 block size");

    MountResult result;
    result.outcome = MountOutcome::Mounted;
    VolumeInfo& v = result.volume;
    v.kind = FileSystemKind::Cdfs;
    v.fileSystemName = "CDFS";
    v.label = joliet ? jolietLabel(*joliet) : primaryLabel(p);
    v.serial = descriptorSerial(joliet ? *joliet : p);
    v.maxComponentLength = joliet ? kJolietMaxComponent : kIsoMaxComponent;
    v.fileSystemFlags = kFileCaseSensitiveSearch | kFileReadOnlyVolume | (joliet ? kFileUnicodeOnDisk : 0);
    v.bytesPerSector = static_cast<std::uint32_t>(kIsoSectorSize);
    v.bytesPerCluster = blockSize;
    v.totalClusters = blocks;
    v.freeClusters = 0;
    v.totalBytes = std::uint64_t(blocks) * blockSize;
    v.freeBytes = 0;
    v.availableBytes = 0;
    return result;
}

}  // namespace tarn::hostfs
