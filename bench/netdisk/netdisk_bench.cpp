// Sequential 64 KiB reads: through netdiskd on loopback with the client's
// path (TCP transport requests, reply parsing, descrambling; one exchange
// at a time), and through a vtarn network disk device (read requests to the
// driver, its worker and its client, with its read-ahead; also 256 KiB
// reads, four exchanges in flight), against pread() of the file netdiskd
// serves, and a plain loopback TCP stream as the ceiling of anything over
// TCP here. All run in one process and one run; the ratios (of wall-clock
// throughputs) are printed at the end, and each path's CPU time (all
// threads) and context switches per read are counters.
//
//   build/bench/netdisk/netdisk_bench
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "disk_store.h"
#include "exchange_log.h"
#include "platform/nt/host.h"
#include "server.h"
#include "tdi_endpoint.h"
#include "tests/support/irp_sender.h"
#include "vdisk/netdisk_protocol.h"
#include "vdisk/vdisk.h"
#include "vdisk/vdisk_ioctl.h"

namespace {

using namespace tarn::netdisk;

constexpr size_t kDiskSize = size_t(64) << 20;
constexpr uint32_t kChunk = kMaxExchange;

std::string DiskPath() {
  static std::string path = [] {
    char tmpl[] = "/tmp/netdisk-bench-XXXXXX";
    int fd = mkstemp(tmpl);
    std::vector<uint8_t> block(1 << 20);
    for (size_t i = 0; i < kDiskSize; i += block.size()) {
      for (size_t j = 0; j < block.size(); ++j) block[j] = uint8_t((i + j) * 131);
      if (write(fd, block.data(), block.size()) != ssize_t(block.size())) abort();
    }
    close(fd);
    return std::string(tmpl);
  }();
  return path;
}

// CPU time of the whole process (every thread: caller, device worker,
// server) and context switches, per 64 KiB read: on a loaded machine these
// say more about a path's cost than its wall-clock time.
class ProcessCost {
 public:
  ProcessCost() { Sample(&cpuUs_, &switches_); }
  void Report(benchmark::State& state) const {
    double cpu, switches;
    Sample(&cpu, &switches);
    double n = state.iterations() != 0 ? double(state.iterations()) : 1.0;
    state.counters["cpu_us_per_read"] = (cpu - cpuUs_) / n;
    state.counters["switches_per_read"] = (switches - switches_) / n;
  }

 private:
  static void Sample(double* CpuUs, double* Switches) {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    *CpuUs = double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
    *Switches = double(u.ru_nvcsw + u.ru_nivcsw);
  }
  double cpuUs_ = 0, switches_ = 0;
};

void DirectRead(benchmark::State& state) {
  int fd = open(DiskPath().c_str(), O_RDONLY);
  std::vector<uint8_t> buffer(kChunk);
  uint64_t offset = 0;
  ProcessCost cost;
  for (auto _ : state) {
    if (pread(fd, buffer.data(), kChunk, off_t(offset)) != ssize_t(kChunk)) state.SkipWithError("pread failed");
    benchmark::DoNotOptimize(buffer.data());
    offset = (offset + kChunk) % kDiskSize;
  }
  cost.Report(state);
  close(fd);
  state.SetBytesProcessed(int64_t(state.iterations()) * kChunk);
}

// Sends all of Data, looping on partial sends.
bool SendAll(netdisk_test::Endpoint& E, const uint8_t* Data, ULONG Length) {
  for (ULONG done = 0; done < Length;) {
    ULONG_PTR moved = 0;
    if (!NT_SUCCESS(E.Send(Data + done, Length - done, &moved))) return false;
    done += ULONG(moved);
  }
  return true;
}

bool ReceiveAll(netdisk_test::Endpoint& E, uint8_t* Data, ULONG Length) {
  for (ULONG done = 0; done < Length;) {
    ULONG_PTR moved = 0;
    if (!NT_SUCCESS(E.Receive(Data + done, Length - done, &moved))) return false;
    done += ULONG(moved);
  }
  return true;
}

void NetworkRead(benchmark::State& state) {
  std::string error;
  auto store = netdiskd::OpenFileStore(DiskPath(), true, &error);
  netdiskd::ExchangeLog log;
  netdiskd::Server server(*store, log, netdiskd::ServerOptions{});
  if (store == nullptr || !server.Listen(&error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::thread serving([&] { server.Run(); });
  {
    netdisk_test::Endpoint e;
    if (!NT_SUCCESS(e.OpenBoth()) || !NT_SUCCESS(e.Associate()) || !NT_SUCCESS(e.Connect(htons(server.Port())))) {
      state.SkipWithError("cannot connect to netdiskd");
    } else {
      std::vector<uint8_t> reply(kTransferReplySize + kChunk), out(kChunk);
      uint8_t request[kRequestSize];
      uint64_t offset = 0;
      ProcessCost cost;
      for (auto _ : state) {
        EncodeRequest({kOpRead, offset, kChunk}, request);
        if (!SendAll(e, request, sizeof request) || !ReceiveAll(e, reply.data(), ULONG(reply.size())) ||
            ParseTransferReply(reply.data(), kTransferReplySize, kChunk, nullptr) != ReplyError::None) {
          state.SkipWithError("exchange failed");
          break;
        }
        Descramble(reply.data() + kTransferReplySize, kChunk);
        memcpy(out.data(), reply.data() + kTransferReplySize, kChunk);
        benchmark::DoNotOptimize(out.data());
        offset = (offset + kChunk) % kDiskSize;
      }
      cost.Report(state);
      e.Disconnect();
    }
  }
  server.Stop();
  serving.join();
  state.SetBytesProcessed(int64_t(state.iterations()) * kChunk);
}

// The loopback TCP ceiling: a thread streams 64 KiB blocks into a socket
// as fast as it can, and each iteration receives one block (no protocol,
// no scrambling, no transport requests).
void LoopbackStream(benchmark::State& state) {
  int pair[2];
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    state.SkipWithError("cannot listen on loopback");
    close(listener);
    return;
  }
  pair[0] = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(pair[0], reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    state.SkipWithError("cannot connect on loopback");
    close(pair[0]);
    close(listener);
    return;
  }
  pair[1] = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  close(listener);
  std::thread streaming([fd = pair[1]] {
    std::vector<uint8_t> block(kChunk, 0x5A);
    while (send(fd, block.data(), block.size(), MSG_NOSIGNAL) > 0) {
    }
  });
  std::vector<uint8_t> buffer(kChunk);
  ProcessCost cost;
  for (auto _ : state) {
    if (recv(pair[0], buffer.data(), kChunk, MSG_WAITALL) != ssize_t(kChunk)) {
      state.SkipWithError("loopback receive failed");
      break;
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  cost.Report(state);
  shutdown(pair[0], SHUT_RDWR);
  close(pair[0]);
  streaming.join();
  close(pair[1]);
  state.SetBytesProcessed(int64_t(state.iterations()) * kChunk);
}

// Mounts Ombrel0 of a freshly loaded vtarn on the server's port and reads
// through the device.
void DeviceRead(benchmark::State& state) {
  std::string error;
  auto store = netdiskd::OpenFileStore(DiskPath(), true, &error);
  netdiskd::ExchangeLog log;
  netdiskd::Server server(*store, log, netdiskd::ServerOptions{});
  if (store == nullptr || !server.Listen(&error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::thread serving([&] { server.Run(); });
  PDRIVER_OBJECT vtarn = nullptr;
  PVOID object = nullptr;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\Ombrel\\Ombrel0");
  if (!NT_SUCCESS(NtHostLoadDriver(u"\\Driver\\VTarn", DriverEntry, nullptr, &vtarn)) ||
      !NT_SUCCESS(NtHostReferenceObjectByName(&name, *IoDeviceObjectType, &object))) {
    state.SkipWithError("cannot load vtarn");
  } else {
    auto device = static_cast<PDEVICE_OBJECT>(object);
    VDISK_MOUNT_RECORD record{};
    record.DiskKind = VDISK_KIND_NETWORK;
    record.ServerAddress = htonl(INADDR_LOOPBACK);
    record.ServerPort = htons(server.Port());
    record.DriveLetter = 'N';
    const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
    if (tarn::test::SendControl(device, IOCTL_VDISK_MOUNT, std::vector<uint8_t>(bytes, bytes + sizeof record))
            .status != STATUS_SUCCESS) {
      state.SkipWithError("cannot mount the network disk");
    } else {
      const auto length = uint32_t(state.range(0));
      std::vector<uint8_t> buffer(length);
      uint64_t offset = 0;
      ProcessCost cost;
      for (auto _ : state) {
        if (tarn::test::SendRead(device, int64_t(offset), buffer.data(), length).status != STATUS_SUCCESS) {
          state.SkipWithError("read through the device failed");
          break;
        }
        benchmark::DoNotOptimize(buffer.data());
        offset = (offset + length) % kDiskSize;
      }
      cost.Report(state);
      tarn::test::SendControl(device, IOCTL_VDISK_UNMOUNT, {});
    }
    ObDereferenceObject(device);
  }
  if (vtarn != nullptr) NtHostUnloadDriver(vtarn);
  server.Stop();
  serving.join();
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void DescrambleOnly(benchmark::State& state) {
  std::vector<uint8_t> data(kChunk, 0x5A);
  for (auto _ : state) {
    Descramble(data.data(), data.size());
    benchmark::DoNotOptimize(data.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kChunk);
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) throughput_[run.run_name.function_name] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double Get(const std::string& Name) const {
    auto it = throughput_.find(Name);
    return it == throughput_.end() ? 0.0 : it->second;
  }

 private:
  std::map<std::string, double> throughput_;
};

}  // namespace

int main(int argc, char** argv) {
  PDRIVER_OBJECT tcp = nullptr;
  if (!NT_SUCCESS(NtHostLoadDriver(u"\\Driver\\Tcp", TcpDriverEntry, nullptr, &tcp))) {
    fprintf(stderr, "cannot load the TCP transport\n");
    return 1;
  }
  benchmark::RegisterBenchmark("DirectRead/64KiB", DirectRead)->UseRealTime();
  benchmark::RegisterBenchmark("LoopbackStream/64KiB", LoopbackStream)->UseRealTime();
  benchmark::RegisterBenchmark("NetworkRead/64KiB", NetworkRead)->UseRealTime();
  benchmark::RegisterBenchmark("DeviceRead/64KiB", DeviceRead)->Arg(kChunk)->UseRealTime();
  benchmark::RegisterBenchmark("DeviceRead/256KiB", DeviceRead)->Arg(4 * kChunk)->UseRealTime();
  benchmark::RegisterBenchmark("Descramble/64KiB", DescrambleOnly);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  NtHostUnloadDriver(tcp);
  unlink(DiskPath().c_str());

  double net = reporter.Get("NetworkRead/64KiB"), device = reporter.Get("DeviceRead/64KiB"),
         direct = reporter.Get("DirectRead/64KiB"), stream = reporter.Get("LoopbackStream/64KiB");
  auto ratio = [direct](double Throughput) { return direct > 0 ? Throughput / direct : 0.0; };
  printf("\nSequential 64 KiB reads: network %.1f MiB/s, direct %.1f MiB/s, ratio %.2f (goal >= 0.5)\n",
         net / 1048576.0, direct / 1048576.0, ratio(net));
  printf("Through the vtarn network device: %.1f MiB/s, ratio %.2f against direct (goal >= 0.5)\n",
         device / 1048576.0, ratio(device));
  printf("Loopback TCP ceiling (a plain 64 KiB stream): %.1f MiB/s, ratio %.2f against direct\n",
         stream / 1048576.0, ratio(stream));
  return 0;
}
