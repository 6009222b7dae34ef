#include "bench/vdisk/bench_image.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "cipher/keys.h"
#include "cipher/sector.h"
#include "tests/support/reference_cipher.h"

namespace vdisk_bench {

BenchImage::BenchImage()
{
    char templ[] = "/tmp/vdisk-bench-XXXXXX";
    if (mkdtemp(templ) == nullptr) throw std::runtime_error("no temporary folder");
    dir_ = templ;
    image_ = dir_ / "bench.img";

    // The transform puts the marker into unit 0.
    SectorKeys keys(kPassword);
    std::vector<uint8_t> data = tarn::test::Pattern(kImageSize, 1);
    sample_.assign(data.begin() + kRequest, data.begin() + 2 * kRequest);
    EncryptTransfer(&keys.User, &keys.Fixed, 0, data.data(), data.size());
    const int fd = open(image_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const bool written = fd >= 0 && write(fd, data.data(), data.size()) == ssize_t(data.size());
    if (fd >= 0) close(fd);
    if (!written) throw std::runtime_error("cannot write the image");
}

BenchImage::~BenchImage()
{
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

}  // namespace vdisk_bench
