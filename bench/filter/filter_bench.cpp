// Reads of 64 MiB in 64 KiB requests through the filter of an Unlocked device,
// through the in-memory lower device alone, and the cipher alone over the
// same request buffers, all in one run; prints the ratios at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cipher/backend.h"
#include "cipher/keys.h"
#include "cipher/sector.h"
#include "platform/nt/host.h"
#include "sys/filter.h"
#include "sys/crypt_ioctl.h"
#include "tests/support/fake_lower_device.h"
#include "tests/support/irp_sender.h"
#include "tests/support/reference_cipher.h"

namespace {

using tarn::test::FakeLowerDevice;

constexpr uint64_t kDeviceSize = 64ull << 20;
constexpr ULONG kRequest = 64 * 1024;
constexpr char kPassword[] = "benchmark password";

// One Unlocked filter above an in-memory lower device, for the whole run.
class Stack {
public:
    Stack()
    {
        FakeLowerDevice::Options options;
        options.size = kDeviceSize;
        lower_ = std::make_unique<FakeLowerDevice>(options);
        lower_->Poke(0, tarn::test::Pattern(kDeviceSize, 1));

        uint8_t key[kKeyBufferSize];
        BuildKeyBuffer(kPassword, key);
        tarn::test::Key userKey{};
        std::copy(key, key + userKey.size(), userKey.begin());
        lower_->Poke(0, tarn::test::StoredForm(userKey, 0, tarn::test::Pattern(kUnitSize, 2)));

        if (!NT_SUCCESS(NtHostLoadDriver(u"\\Driver\\tarn", DriverEntry, nullptr, &driver_)) ||
            !NT_SUCCESS(driver_->DriverExtension->AddDevice(driver_, lower_->Device()))) {
            throw std::runtime_error("cannot attach the filter");
        }
        filter_ = lower_->Device()->AttachedDevice;
        std::vector<uint8_t> unit(kUnitSize);
        if (!NT_SUCCESS(tarn::test::SendPnp(filter_, IRP_MN_START_DEVICE).status) ||
            !NT_SUCCESS(tarn::test::SendControl(filter_, IOCTL_CRYPT_SET_KEY,
                                                std::vector<uint8_t>(key, key + CRYPT_KEY_LENGTH))
                            .status) ||
            !NT_SUCCESS(tarn::test::SendRead(filter_, 0, unit.data(), kUnitSize).status) ||
            !FilterExtension(filter_)->Encrypted) {
            throw std::runtime_error("cannot unlock the filter");
        }
        SecureWipe(key, sizeof(key));
    }

    PDEVICE_OBJECT Filter() const { return filter_; }
    PDEVICE_OBJECT Lower() const { return lower_->Device(); }

private:
    std::unique_ptr<FakeLowerDevice> lower_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;
};

Stack& TheStack()
{
    static Stack stack;
    return stack;
}

void ReadAll(benchmark::State& state, PDEVICE_OBJECT top)
{
    std::vector<uint8_t> buffer(kRequest);
    for (auto _ : state) {
        for (uint64_t offset = 0; offset < kDeviceSize; offset += kRequest) {
            const NTSTATUS status = tarn::test::SendRead(top, static_cast<int64_t>(offset), buffer.data(), kRequest).status;
            if (!NT_SUCCESS(status)) {
                state.SkipWithError("read failed");
                return;
            }
        }
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDeviceSize));
}

// The requests complete on this thread, so a path override here reaches the
// filter's transform too. Without one the best path of this CPU is used.
void Pin(benchmark::State& state, std::optional<AesPath> path, std::optional<AesPathOverride>& pinned)
{
    if (path) {
        pinned.emplace(*path);
        if (!pinned->Engaged()) {
            state.SkipWithError("path not supported by this CPU");
        }
    }
}

void ThroughFilter(benchmark::State& state, std::optional<AesPath> path)
{
    std::optional<AesPathOverride> pinned;
    Pin(state, path, pinned);
    ReadAll(state, TheStack().Filter());
}

void LowerAlone(benchmark::State& state) { ReadAll(state, TheStack().Lower()); }

// What the filter adds to every request, without any request: the transform
// of each 64 KiB buffer at its device offset.
void CipherAlone(benchmark::State& state, std::optional<AesPath> path)
{
    std::optional<AesPathOverride> pinned;
    Pin(state, path, pinned);
    SectorKeys keys(kPassword);
    std::vector<uint8_t> buffer = tarn::test::Pattern(kRequest, 3);
    for (auto _ : state) {
        for (uint64_t offset = 0; offset < kDeviceSize; offset += kRequest) {
            DecryptTransfer(&keys.User, &keys.Fixed, offset, buffer.data(), kRequest);
        }
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDeviceSize));
}

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                continue;
            }
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "mean") {
                continue;
            }
            if (auto it = run.counters.find("bytes_per_second"); it != run.counters.end()) {
                throughput_[run.run_name.function_name] = it->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    double Get(const std::string& name) const
    {
        auto it = throughput_.find(name);
        return it == throughput_.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> throughput_;
};

double MiB(double bytesPerSecond) { return bytesPerSecond / (1024.0 * 1024.0); }

}  // namespace

void PrintPair(const RatioReporter& r, const char* label, const std::string& suffix)
{
    const double filter = r.Get("ThroughFilter/" + suffix);
    const double cipher = r.Get("CipherAlone/" + suffix);
    const double lower = r.Get("LowerAlone/64MiB");
    // Lower device and cipher one after the other with nothing between them:
    // what a filter with no cost of its own would reach.
    const double serial = (lower > 0 && cipher > 0) ? 1.0 / (1.0 / lower + 1.0 / cipher) : 0.0;
    std::printf("%-6s path: filter %9.1f MiB/s  cipher %9.1f MiB/s  filter/cipher %.2f (goal >= 0.90)  "
                "filter/(lower then cipher) %.2f\n",
                label, MiB(filter), MiB(cipher), cipher > 0 ? filter / cipher : 0.0, serial > 0 ? filter / serial : 0.0);
}

int main(int argc, char** argv)
{
    const std::optional<AesPath> best;
    benchmark::RegisterBenchmark("LowerAlone/64MiB", LowerAlone)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("ThroughFilter/64MiB", ThroughFilter, best)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("CipherAlone/64MiB", CipherAlone, best)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("ThroughFilter/64MiB/table", ThroughFilter, AesPath::Table)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("CipherAlone/64MiB/table", CipherAlone, AesPath::Table)->Unit(benchmark::kMillisecond);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\nSummary (64 MiB in 64 KiB reads, Unlocked filter above an in-memory device)\n");
    std::printf("lower device alone %9.1f MiB/s\n", MiB(reporter.Get("LowerAlone/64MiB")));
    PrintPair(reporter, AesPathName(AesBestPath()), "64MiB");
    PrintPair(reporter, "table", "64MiB/table");
    return 0;
}
