// What fsck.fat and mtools report about a FAT image, parsed from their output.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "tests/hostfs/volume_file.h"

namespace tarn::hostfs::test {

struct FsckReport {
    ToolRun run;
    std::uint64_t clusterBytes = 0;
    std::uint64_t totalClusters = 0;
    std::uint64_t usedClusters = 0;

    bool clean() const { return run.exitCode == 0; }
    std::uint64_t totalBytes() const { return totalClusters * clusterBytes; }
    std::uint64_t freeBytes() const { return (totalClusters - usedClusters) * clusterBytes; }
};

// fsck.fat -n -v: checks without writing.
FsckReport checkFat(const std::string& fsck, const std::filesystem::path& image);

// mdir's "Volume in drive : is LABEL" and "N bytes free" lines.
struct MdirReport {
    ToolRun run;
    std::string label;                   // trailing blanks trimmed
    std::optional<std::uint64_t> freeBytes;
};
MdirReport listRoot(const std::filesystem::path& image);

// Prefix for mtools command lines: no mtoolsrc from the user's home.
std::string mtoolsEnv();

}  // namespace tarn::hostfs::test
