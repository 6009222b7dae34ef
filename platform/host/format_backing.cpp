#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/host/fs/fat_formatter.h"
#include "platform/host/machine_setup.h"

namespace tarn::host {

namespace {

constexpr hostfs::IoStatus kStatusUnsuccessful = static_cast<hostfs::IoStatus>(0xC0000001);

}  // namespace

Expected<hostfs::FormatOptions> FormatOptionsFor(const std::string& fileSystem, const std::string& label) {
    hostfs::FormatOptions options;
    if (fileSystem == "FAT32") {
        options.kind = hostfs::FatFormatKind::Fat32;
    } else if (fileSystem != "FAT") {
        return Error{"unknown file system \"" + fileSystem + "\" (FAT or FAT32)"};
    }
    options.label = label;
    timeval now{};
    ::gettimeofday(&now, nullptr);
    std::tm local{};
    ::localtime_r(&now.tv_sec, &local);
    options.serial = hostfs::volumeSerialAt(local, static_cast<int>(now.tv_usec / 10000));
    options.dosDate = hostfs::dosDateOf(local);
    options.dosTime = hostfs::dosTimeOf(local);
    return options;
}

Status FormatBackingFile(const std::string& path, const std::string& fileSystem, const std::string& label) {
    auto options = FormatOptionsFor(fileSystem, label);
    if (!options) return Error{options.error()};
    auto size = BackingSize(path);
    if (!size) return Error{size.error()};
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return Error{"cannot open " + path + ": " + std::strerror(errno)};
    hostfs::VolumeSink sink;
    sink.sizeBytes = *size - *size % 512;
    sink.write = [fd](uint64_t offset, std::span<const uint8_t> data) -> hostfs::IoStatus {
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return kStatusUnsuccessful;
            done += static_cast<size_t>(n);
        }
        return hostfs::kIoSuccess;
    };
    const auto result = hostfs::formatFat(sink, *options);
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    if (!result.ok()) return Error{"cannot format " + path + ": " + result.message};
    if (!synced) return Error{"cannot flush " + path};
    return Ok();
}

}  // namespace tarn::host
