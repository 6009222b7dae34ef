// Mounting a volume that carries an ext2/3/4 superblock.
#pragma once

#include <optional>
#include <span>

#include "platform/host/fs/recognizer.h"

namespace tarn::hostfs {

constexpr std::size_t kExtSuperblockOffset = 1024;
constexpr std::size_t kExtSuperblockSize = 1024;

// superblock: the 1024 bytes at byte 1024 of the volume. Nothing (with why
// set) when they are not a usable ext superblock.
std::optional<MountResult> recognizeExt(std::span<const std::uint8_t> superblock, const char** why);

}  // namespace tarn::hostfs
