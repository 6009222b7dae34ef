// Throughput of our unit and transfer procedures against OpenSSL's AES-256-ECB
// on the same buffers, measured in one run; prints the ratios at the end.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "cipher/backend.h"
#include "cipher/keys.h"
#include "cipher/sector.h"

namespace {

constexpr size_t kTransferSize = 64 * 1024;
// A transfer somewhere inside the volume: the common case, no unit 0.
constexpr uint64_t kTransferOffset = 1 << 20;
constexpr char kPassword[] = "benchmark password";

std::vector<uint8_t> RandomBuffer(size_t size) {
    std::vector<uint8_t> data(size);
    std::mt19937 rng(42);
    for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
    return data;
}

void OurSector(benchmark::State& state, bool encrypt) {
    SectorKeys keys(kPassword);
    std::vector<uint8_t> unit = RandomBuffer(kUnitSize);
    for (auto _ : state) {
        if (encrypt)
            EncryptSector(&keys.User, unit.data());
        else
            DecryptSector(&keys.User, unit.data());
        benchmark::DoNotOptimize(unit.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kUnitSize));
}

void OurTransfer(benchmark::State& state, bool encrypt, AesPath path, bool forcePath) {
    std::optional<AesPathOverride> pinned;
    if (forcePath) {
        pinned.emplace(path);
        if (!pinned->Engaged()) {
            state.SkipWithError("path not supported by this CPU");
            return;
        }
    }
    SectorKeys keys(kPassword);
    std::vector<uint8_t> data = RandomBuffer(kTransferSize);
    for (auto _ : state) {
        if (encrypt)
            EncryptTransfer(&keys.User, &keys.Fixed, kTransferOffset, data.data(), data.size());
        else
            DecryptTransfer(&keys.User, &keys.Fixed, kTransferOffset, data.data(), data.size());
        benchmark::DoNotOptimize(data.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransferSize));
}

// The context is set up once, as a driver would keep it; padding is off so
// every call is a pure ECB pass in place.
void OpenSsl(benchmark::State& state, bool encrypt, size_t size) {
    uint8_t key[kKeyBufferSize];
    BuildKeyBuffer(kPassword, key);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (ctx == nullptr || EVP_CipherInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx, 0) != 1) {
        state.SkipWithError("OpenSSL context setup failed");
        EVP_CIPHER_CTX_free(ctx);
        return;
    }
    std::vector<uint8_t> data = RandomBuffer(size);
    const int length = static_cast<int>(size);
    for (auto _ : state) {
        int written = 0;
        EVP_CipherUpdate(ctx, data.data(), &written, data.data(), length);
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    }
    EVP_CIPHER_CTX_free(ctx);
    SecureWipe(key, sizeof(key));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// Remembers the throughput of every benchmark while the console shows them.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "mean") continue;
            auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end()) throughput_[run.run_name.function_name] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    double Get(const std::string& name) const {
        auto it = throughput_.find(name);
        return it == throughput_.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> throughput_;
};

double MiB(double bytesPerSecond) { return bytesPerSecond / (1024.0 * 1024.0); }

void PrintRatio(const RatioReporter& r, const char* label, const char* ours, const char* theirs, double goal) {
    const double a = r.Get(ours);
    const double b = r.Get(theirs);
    const double ratio = b > 0 ? a / b : 0.0;
    std::printf("%-28s ours %9.1f MiB/s  OpenSSL %9.1f MiB/s  ratio %.2f (goal >= %.1f)\n", label, MiB(a), MiB(b), ratio,
                goal);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::RegisterBenchmark("EncryptSector/512", OurSector, true);
    benchmark::RegisterBenchmark("OpenSSL_Encrypt/512", OpenSsl, true, kUnitSize);
    benchmark::RegisterBenchmark("DecryptSector/512", OurSector, false);
    benchmark::RegisterBenchmark("OpenSSL_Decrypt/512", OpenSsl, false, kUnitSize);
    benchmark::RegisterBenchmark("EncryptTransfer/64KiB", OurTransfer, true, AesPath::Table, false);
    benchmark::RegisterBenchmark("OpenSSL_Encrypt/64KiB", OpenSsl, true, kTransferSize);
    benchmark::RegisterBenchmark("DecryptTransfer/64KiB", OurTransfer, false, AesPath::Table, false);
    benchmark::RegisterBenchmark("OpenSSL_Decrypt/64KiB", OpenSsl, false, kTransferSize);
    for (AesPath path : kAllAesPaths) {
        const std::string name = std::string("Path_") + AesPathName(path);
        benchmark::RegisterBenchmark((name + "_Encrypt/64KiB").c_str(), OurTransfer, true, path, true);
        benchmark::RegisterBenchmark((name + "_Decrypt/64KiB").c_str(), OurTransfer, false, path, true);
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\nSummary (active path %s; ratio = our throughput / OpenSSL's, higher = ours faster)\n",
                AesPathName(AesBestPath()));
    PrintRatio(reporter, "EncryptSector 512 B", "EncryptSector/512", "OpenSSL_Encrypt/512", 1.0);
    PrintRatio(reporter, "DecryptSector 512 B", "DecryptSector/512", "OpenSSL_Decrypt/512", 1.0);
    PrintRatio(reporter, "EncryptTransfer 64 KiB", "EncryptTransfer/64KiB", "OpenSSL_Encrypt/64KiB", 1.5);
    PrintRatio(reporter, "DecryptTransfer 64 KiB", "DecryptTransfer/64KiB", "OpenSSL_Decrypt/64KiB", 1.5);
    for (AesPath path : kAllAesPaths) {
        const std::string name = std::string("Path_") + AesPathName(path);
        const double enc = reporter.Get(name + "_Encrypt/64KiB");
        const double dec = reporter.Get(name + "_Decrypt/64KiB");
        if (enc <= 0 && dec <= 0) continue;
        std::printf("path %-12s 64 KiB transfers: encrypt %9.1f MiB/s  decrypt %9.1f MiB/s\n", AesPathName(path), MiB(enc),
                    MiB(dec));
    }
    return 0;
}
