#include "tests/hostfs/memory_volume.h"

#include <algorithm>

namespace tarn::hostfs::test {

void MemoryVolume::put(std::uint64_t offset, std::span<const std::uint8_t> data) {
    for (std::size_t done = 0; done < data.size();) {
        const std::uint64_t at = offset + done;
        const std::uint64_t page = at / kPage;
        auto [it, fresh] = pages_.try_emplace(page);
        if (fresh) it->second.assign(kPage, fill_);
        const std::size_t within = at % kPage;
        const std::size_t n = std::min<std::size_t>(kPage - within, data.size() - done);
        std::copy_n(data.begin() + done, n, it->second.begin() + within);
        done += n;
    }
}

void MemoryVolume::get(std::uint64_t offset, std::span<std::uint8_t> out) const {
    for (std::size_t done = 0; done < out.size();) {
        const std::uint64_t at = offset + done;
        const std::size_t within = at % kPage;
        const std::size_t n = std::min<std::size_t>(kPage - within, out.size() - done);
        const auto it = pages_.find(at / kPage);
        if (it == pages_.end())
            std::fill_n(out.begin() + done, n, fill_);
        else
            std::copy_n(it->second.begin() + within, n, out.begin() + done);
        done += n;
    }
}

ReadFn MemoryVolume::reader() {
    return [this](std::uint64_t offset, std::span<std::uint8_t> out) -> IoStatus {
        if (offset > size_ || out.size() > size_ - offset) return kStatusDeviceError;
        if (badReads_ && offset < badReads_->second && offset + out.size() > badReads_->first)
            return kStatusDeviceError;
        get(offset, out);
        return kIoSuccess;
    };
}

WriteFn MemoryVolume::writer() {
    return [this](std::uint64_t offset, std::span<const std::uint8_t> data) -> IoStatus {
        const std::size_t index = writeCalls_++;
        if (failWritesFrom_ && index >= *failWritesFrom_) return kStatusDeviceError;
        if (offset > size_ || data.size() > size_ - offset) return kStatusDeviceError;
        writes_.push_back({offset, data.size()});
        put(offset, data);
        return kIoSuccess;
    };
}

}  // namespace tarn::hostfs::test
