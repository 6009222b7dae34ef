// The image every case of the benchmark reads: 64 MiB encrypted under one
// password, in a temporary folder removed at the end of the run.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace vdisk_bench {

constexpr uint64_t kImageSize = 64ull << 20;
constexpr uint32_t kRequest = 64 * 1024;
constexpr char kPassword[] = "benchmark password";

class BenchImage {
public:
    BenchImage();  // throws std::runtime_error when it cannot be written
    ~BenchImage();
    BenchImage(const BenchImage&) = delete;
    BenchImage& operator=(const BenchImage&) = delete;

    const std::filesystem::path& Dir() const { return dir_; }
    const std::filesystem::path& Path() const { return image_; }
    // The plaintext of the image's second request, to check a path reads
    // what it should before it is timed.
    const std::vector<uint8_t>& Sample() const { return sample_; }

private:
    std::filesystem::path dir_;
    std::filesystem::path image_;
    std::vector<uint8_t> sample_;
};

}  // namespace vdisk_bench
