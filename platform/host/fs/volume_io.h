// The two callbacks through which the recognizer and the formatter reach a
// volume. The host binds them to the top of a volume's device stack.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

namespace tarn::hostfs {

// Outcome of one transfer as the layer below reports it: 0 is success; any
// other value is that layer's own failure code (an NTSTATUS on the host) and
// travels back to our caller unchanged.
using IoStatus = std::int32_t;
constexpr IoStatus kIoSuccess = 0;

// Fills the whole buffer from the byte offset. A read that cannot deliver
// every byte (past the end of the volume, media error) must fail.
using ReadFn = std::function<IoStatus(std::uint64_t offset, std::span<std::uint8_t> buffer)>;

// Writes the whole buffer at the byte offset.
using WriteFn = std::function<IoStatus(std::uint64_t offset, std::span<const std::uint8_t> data)>;

// A volume to format: where to write and how large it is.
struct VolumeSink {
    WriteFn write;
    std::uint64_t sizeBytes = 0;
};

}  // namespace tarn::hostfs
