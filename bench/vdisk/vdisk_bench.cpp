// Sequential 64 KiB reads of an unlocked encrypted 64 MiB image through a
// mounted virtual disk, against pread of the image file itself and the
// cipher alone, all in one run; prints the ratios at the end. Real time
// throughout: the device's work happens on its worker thread.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "cipher/keys.h"
#include "cipher/sector.h"
#include "platform/nt/host.h"
#include "sys/ioctl.h"
#include "tests/support/irp_sender.h"
#include "tests/support/reference_cipher.h"
#include "vdisk/extension.h"
#include "vdisk/vdisk.h"

namespace {

constexpr uint64_t kImageSize = 64ull << 20;
constexpr ULONG kRequest = 64 * 1024;
constexpr char kPassword[] = "benchmark password";

// The driver with one encrypted image mounted and unlocked, for the whole run.
class Setup {
public:
    Setup()
    {
        char templ[] = "/tmp/vdisk-bench-XXXXXX";
        if (mkdtemp(templ) == nullptr) throw std::runtime_error("no temporary folder");
        dir_ = templ;
        image_ = dir_ / "bench.img";

        SectorKeys keys(kPassword);
        std::vector<uint8_t> data = tarn::test::Pattern(kImageSize, 1);
        EncryptTransfer(&keys.User, &keys.Fixed, 0, data.data(), data.size());
        int fd = open(image_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || write(fd, data.data(), data.size()) != ssize_t(data.size())) {
            throw std::runtime_error("cannot write the image");
        }
        close(fd);

        if (!NT_SUCCESS(NtHostLoadDriver(u"\\Driver\\VTarn", DriverEntry, nullptr, &driver_))) {
            throw std::runtime_error("cannot load the driver");
        }
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Device\\Ombrel\\Ombrel0");
        PVOID object = nullptr;
        if (!NT_SUCCESS(NtHostReferenceObjectByName(&name, nullptr, &object))) {
            throw std::runtime_error("no device");
        }
        disk_ = static_cast<PDEVICE_OBJECT>(object);
        ObDereferenceObject(object);

        VDISK_MOUNT_RECORD record{};
        std::string path = "\\??\\" + image_.string();
        for (size_t i = 0; i < path.size(); ++i) record.FileName[i] = char16_t(path[i]);
        record.DriveLetter = 'B';
        std::vector<uint8_t> bytes(reinterpret_cast<uint8_t*>(&record),
                                   reinterpret_cast<uint8_t*>(&record) + sizeof(record));
        uint8_t key[kKeyBufferSize];
        BuildKeyBuffer(kPassword, key);
        if (!NT_SUCCESS(tarn::test::SendControl(disk_, IOCTL_VDISK_MOUNT, bytes).status) ||
            !NT_SUCCESS(tarn::test::SendControl(disk_, IOCTL_CRYPT_SET_KEY,
                                                std::vector<uint8_t>(key, key + CRYPT_KEY_LENGTH))
                            .status) ||
            !VdiskExtension(disk_)->Encrypted) {
            throw std::runtime_error("cannot mount and unlock the image");
        }
        SecureWipe(key, sizeof(key));
        fd_ = open(image_.c_str(), O_RDONLY);
    }
    ~Setup()
    {
        close(fd_);
        tarn::test::SendControl(disk_, IOCTL_VDISK_UNMOUNT, {});
        NtHostUnloadDriver(driver_);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    PDEVICE_OBJECT Disk() const { return disk_; }
    int Fd() const { return fd_; }

private:
    std::filesystem::path dir_;
    std::filesystem::path image_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT disk_ = nullptr;
    int fd_ = -1;
};

Setup* TheSetup = nullptr;

void ThroughDevice(benchmark::State& state)
{
    std::vector<uint8_t> buffer(kRequest);
    for (auto _ : state) {
        for (uint64_t offset = 0; offset < kImageSize; offset += kRequest) {
            if (!NT_SUCCESS(tarn::test::SendRead(TheSetup->Disk(), int64_t(offset), buffer.data(), kRequest).status)) {
                state.SkipWithError("read failed");
                return;
            }
        }
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations() * kImageSize));
}

void DirectPread(benchmark::State& state)
{
    std::vector<uint8_t> buffer(kRequest);
    for (auto _ : state) {
        for (uint64_t offset = 0; offset < kImageSize; offset += kRequest) {
            if (pread(TheSetup->Fd(), buffer.data(), kRequest, off_t(offset)) != ssize_t(kRequest)) {
                state.SkipWithError("pread failed");
                return;
            }
        }
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations() * kImageSize));
}

void CipherAlone(benchmark::State& state)
{
    SectorKeys keys(kPassword);
    std::vector<uint8_t> buffer = tarn::test::Pattern(kRequest, 3);
    for (auto _ : state) {
        for (uint64_t offset = 0; offset < kImageSize; offset += kRequest) {
            DecryptTransfer(&keys.User, &keys.Fixed, offset, buffer.data(), kRequest);
        }
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations() * kImageSize));
}

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "mean") continue;
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

int main(int argc, char** argv)
{
    Setup setup;
    TheSetup = &setup;
    benchmark::RegisterBenchmark("ThroughDevice/64MiB", ThroughDevice)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("DirectPread/64MiB", DirectPread)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("CipherAlone/64MiB", CipherAlone)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const double device = reporter.Get("ThroughDevice/64MiB");
    const double file = reporter.Get("DirectPread/64MiB");
    const double cipher = reporter.Get("CipherAlone/64MiB");
    std::printf("\nSummary (64 MiB in 64 KiB reads of an unlocked encrypted image; ratio = throughput / throughput)\n");
    std::printf("through device   %9.1f MiB/s\n", MiB(device));
    std::printf("pread of file    %9.1f MiB/s\n", MiB(file));
    std::printf("cipher alone     %9.1f MiB/s\n", MiB(cipher));
    std::printf("device / pread   %.2f (goal >= 0.60)\n", file > 0 ? device / file : 0.0);
    std::printf("device / cipher  %.2f\n", cipher > 0 ? device / cipher : 0.0);
    return 0;
}
