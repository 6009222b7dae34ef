// Mounting a volume that carries an ISO 9660 volume descriptor set (a CD or
// DVD file system), with the Joliet supplementary descriptor when present.
#pragma once

#include <optional>

#include "platform/host/fs/recognizer.h"

namespace tarn::hostfs {

constexpr std::uint64_t kIsoSectorSize = 2048;
constexpr std::uint64_t kIsoFirstDescriptorSector = 16;
// The descriptor set is searched no further than this many sectors, so a
// set without a terminator cannot make the mount read the whole volume.
constexpr unsigned kIsoMaxDescriptors = 64;

// Nothing when sector 16 does not start a set holding a primary volume
// descriptor; nothing with why set when that descriptor is unusable;
// otherwise the mount, named "CDFS": the
// label from the Joliet descriptor when there is one, else from the primary
// one; no free space; or ReadFailed when the set cannot be read to its end.
std::optional<MountResult> recognizeIso(const ReadFn& read, const char** why);

}  // namespace tarn::hostfs
