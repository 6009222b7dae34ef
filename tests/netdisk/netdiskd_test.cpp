// netdiskd as a real process on loopback, driven by a small client.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "child_process.h"
#include "test_client.h"

using namespace netdisk_test;
using namespace tarn::netdisk;
namespace fs = std::filesystem;

namespace {

constexpr size_t kDiskSize = 1 << 20;

std::vector<uint8_t> Pattern(size_t Length, uint32_t Seed) {
  std::vector<uint8_t> v(Length);
  std::mt19937 rng(Seed);
  for (auto& b : v) b = uint8_t(rng());
  return v;
}

std::vector<uint8_t> ReadFile(const fs::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& Path, const std::vector<uint8_t>& Data) {
  std::ofstream out(Path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(Data.data()), std::streamsize(Data.size()));
}

class NetDiskd : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/netdiskd-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    disk_ = dir_ / "disk.img";
    log_ = dir_ / "exchanges.log";
    contents_ = Pattern(kDiskSize, 7);
    WriteFile(disk_, contents_);
  }
  void TearDown() override {
    server_.reset();
    fs::remove_all(dir_);
  }

  // Starts netdiskd on the disk file with Extra options; returns its port.
  int Start(std::vector<std::string> Extra = {}) {
    std::vector<std::string> argv = {BuiltProgram("tools/netdiskd/netdiskd"), "--listen", "127.0.0.1:0",
                                     disk_.string(), "--log", log_.string()};
    argv.insert(argv.end(), Extra.begin(), Extra.end());
    server_ = std::make_unique<ChildProcess>(argv);
    int port = ListeningPort(server_->FirstLine());
    EXPECT_NE(port, 0) << "netdiskd did not start";
    return port;
  }

  std::vector<std::string> LogLines() {
    std::ifstream in(log_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  fs::path dir_, disk_, log_;
  std::vector<uint8_t> contents_;
  std::unique_ptr<ChildProcess> server_;
};

TEST_F(NetDiskd, ServesSizeReadsAndWritesOfTheFile) {
  int port = Start();
  TestClient c;
  ASSERT_TRUE(c.Connect(port));
  int64_t size = 0;
  ReplyError error;
  ASSERT_TRUE(c.QuerySize(&size, &error));
  EXPECT_EQ(error, ReplyError::None);
  EXPECT_EQ(size, int64_t(kDiskSize));

  // The data arrives scrambled and descrambles to the file's bytes,
  // including the last byte of the disk.
  std::vector<uint8_t> got(8192);
  ASSERT_TRUE(c.Read(kDiskSize - got.size(), got.size(), got.data()));
  EXPECT_TRUE(std::equal(got.begin(), got.end(), contents_.end() - long(got.size())));

  // Written data travels plain and lands in the file at its offset.
  std::vector<uint8_t> data = Pattern(4096, 99);
  ASSERT_TRUE(c.Write(4096, data.size(), data.data()));
  std::vector<uint8_t> file = ReadFile(disk_);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), file.begin() + 4096));
  EXPECT_TRUE(std::equal(file.begin(), file.begin() + 4096, contents_.begin())) << "bytes before the write changed";
  ASSERT_TRUE(c.Read(4096, got.size(), got.data()));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
}

TEST_F(NetDiskd, LogShowsA200KiBReadAsFourExchanges) {
  int port = Start();
  TestClient c;
  ASSERT_TRUE(c.Connect(port));
  std::vector<uint8_t> got(200 * 1024);
  ASSERT_TRUE(c.Read(0, got.size(), got.data()));
  EXPECT_TRUE(std::equal(got.begin(), got.end(), contents_.begin()));
  std::vector<std::string> expected = {"op=0x82 offset=0 count=65536", "op=0x82 offset=65536 count=65536",
                                       "op=0x82 offset=131072 count=65536", "op=0x82 offset=196608 count=8192"};
  EXPECT_EQ(LogLines(), expected);
}

TEST_F(NetDiskd, ConcurrentClientsEachSeeTheirOwnWrites) {
  int port = Start();
  constexpr int kClients = 8;
  constexpr size_t kRegion = kDiskSize / kClients;
  std::vector<int> ok(kClients, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      TestClient c;
      if (!c.Connect(port)) return;
      std::vector<uint8_t> data = Pattern(kRegion, 100 + i), back(kRegion);
      for (int round = 0; round < 4; ++round) {
        if (!c.Write(i * kRegion, kRegion, data.data()) || !c.Read(i * kRegion, kRegion, back.data())) return;
        if (back != data) return;
      }
      ok[i] = 1;
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kClients; ++i) EXPECT_EQ(ok[i], 1) << "client " << i;
  std::vector<uint8_t> file = ReadFile(disk_);
  for (int i = 0; i < kClients; ++i) {
    std::vector<uint8_t> data = Pattern(kRegion, 100 + i);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), file.begin() + long(i * kRegion))) << "region " << i;
  }
}

// A hostile request ends its own connection, is logged, touches nothing,
// and the server goes on serving everyone else.
TEST_F(NetDiskd, HostileRequestsCloseOnlyTheirConnection) {
  int port = Start();
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;  // what the hostile client sends
    const char* logged;          // expected reason in the log
  };
  auto header = [](uint8_t op, uint64_t offset, uint32_t count) {
    std::vector<uint8_t> h(kRequestSize);
    EncodeRequest({op, offset, count}, h.data());
    return h;
  };
  std::vector<Case> cases = {
      {"count over 64 KiB", header(kOpRead, 0, kMaxExchange + 1), "count over the exchange limit"},
      {"huge write count", header(kOpWrite, 0, 0xFFFFFFFFu), "count over the exchange limit"},
      {"offset beyond the disk", header(kOpRead, kDiskSize + 512, 512), "range beyond the end of the disk"},
      {"range across the end", header(kOpWrite, kDiskSize - 512, 1024), "range beyond the end of the disk"},
      {"offset that wraps", header(kOpRead, ~uint64_t(0) - 100, 512), "range beyond the end of the disk"},
      {"unknown opcode", header(0x85, 0, 512), "unknown opcode"},
      {"truncated header", std::vector<uint8_t>(10, 0x82), "truncated request header"},
  };
  // Write data that stops short: the header promises 4096 bytes.
  std::vector<uint8_t> shortWrite = header(kOpWrite, 0, 4096);
  shortWrite.resize(kRequestSize + 100, 0xEE);
  cases.push_back({"truncated write data", shortWrite, "truncated write data"});

  TestClient bystander;
  ASSERT_TRUE(bystander.Connect(port));
  for (const auto& c : cases) {
    TestClient hostile;
    ASSERT_TRUE(hostile.Connect(port)) << c.name;
    ASSERT_TRUE(hostile.SendRaw(c.bytes.data(), c.bytes.size())) << c.name;
    // Truncated requests: the client stops sending, and the server sees the
    // end of the stream in the middle of a record.
    if (std::string(c.name).rfind("truncated", 0) == 0) hostile.FinishSending();
    EXPECT_TRUE(hostile.ServerClosed()) << c.name << ": connection left open";

    int64_t size = 0;
    ReplyError error;
    ASSERT_TRUE(bystander.QuerySize(&size, &error)) << c.name << ": server stopped serving others";
    EXPECT_EQ(size, int64_t(kDiskSize));
  }
  // Every refusal was logged with its reason, and nothing was written.
  bystander.Close();
  server_->Terminate();
  std::string log;
  for (const auto& l : LogLines()) log += l + "\n";
  for (const auto& c : cases) EXPECT_NE(log.find(c.logged), std::string::npos) << c.name << "\n" << log;
  EXPECT_EQ(ReadFile(disk_), contents_);
}

// A client that stops part-way through a request (without closing) loses
// its connection after the record time-out; one that is merely idle
// between requests keeps it.
TEST_F(NetDiskd, RequestStoppedPartWayIsDroppedButIdleClientsStay) {
  int port = Start({"--record-timeout-ms", "200"});
  TestClient idle, stopped;
  ASSERT_TRUE(idle.Connect(port));
  ASSERT_TRUE(stopped.Connect(port));
  uint8_t header[kRequestSize];
  EncodeRequest({kOpWrite, 0, 4096}, header);
  ASSERT_TRUE(stopped.SendRaw(header, 10));
  EXPECT_TRUE(stopped.ServerClosed()) << "half a header held the session";
  ASSERT_TRUE(stopped.Connect(port));
  ASSERT_TRUE(stopped.SendRaw(header, sizeof header));
  ASSERT_TRUE(stopped.SendRaw(contents_.data(), 100));
  EXPECT_TRUE(stopped.ServerClosed()) << "part of the write data held the session";

  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // idle for longer than the record time-out
  int64_t size = 0;
  ReplyError error;
  ASSERT_TRUE(idle.QuerySize(&size, &error)) << "an idle client was dropped";
  EXPECT_EQ(ReadFile(disk_), contents_);
}

TEST_F(NetDiskd, ClientsBeyondTheLimitAreTurnedAway) {
  int port = Start({"--max-clients", "1"});
  TestClient first, second;
  ASSERT_TRUE(first.Connect(port));
  int64_t size = 0;
  ReplyError error;
  ASSERT_TRUE(first.QuerySize(&size, &error));
  ASSERT_TRUE(second.Connect(port));
  EXPECT_TRUE(second.ServerClosed());
  first.Close();
  // The slot comes free again once the first client left.
  bool served = false;
  for (int attempt = 0; attempt < 50 && !served; ++attempt) {
    TestClient third;
    served = third.Connect(port) && third.QuerySize(&size, &error);
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(served);
}

TEST_F(NetDiskd, ReadOnlyServerRefusesWritesWithAZeroCount) {
  int port = Start({"--read-only"});
  TestClient c;
  ASSERT_TRUE(c.Connect(port));
  std::vector<uint8_t> data(512, 0xAB);
  ReplyError error;
  ASSERT_TRUE(c.WriteExchange(0, 512, data.data(), &error));
  EXPECT_EQ(error, ReplyError::CountMismatch);
  EXPECT_EQ(ReadFile(disk_), contents_);
  // The connection stays usable.
  std::vector<uint8_t> got(512);
  ASSERT_TRUE(c.Read(0, 512, got.data()));
  EXPECT_TRUE(std::equal(got.begin(), got.end(), contents_.begin()));
}

TEST_F(NetDiskd, DropAfterClosesTheConnectionAfterNExchanges) {
  int port = Start({"--drop-after", "2"});
  TestClient c;
  ASSERT_TRUE(c.Connect(port));
  std::vector<uint8_t> got(512);
  ASSERT_TRUE(c.Read(0, 512, got.data()));
  ASSERT_TRUE(c.Read(512, 512, got.data()));
  EXPECT_FALSE(c.Read(1024, 512, got.data())) << "third exchange answered";
  // A new connection is served again.
  ASSERT_TRUE(c.Connect(port));
  ASSERT_TRUE(c.Read(1024, 512, got.data()));
  EXPECT_TRUE(std::equal(got.begin(), got.end(), contents_.begin() + 1024));
}

TEST_F(NetDiskd, CorruptLengthSpoilsEveryReplyKind) {
  int port = Start({"--corrupt-length"});
  TestClient c;
  ASSERT_TRUE(c.Connect(port));
  int64_t size = 0;
  ReplyError error;
  ASSERT_TRUE(c.QuerySize(&size, &error));
  EXPECT_EQ(error, ReplyError::LengthField);
  std::vector<uint8_t> got(512);
  ASSERT_TRUE(c.ReadExchange(0, 512, got.data(), &error));
  EXPECT_EQ(error, ReplyError::CountMismatch);
  ASSERT_TRUE(c.WriteExchange(0, 512, got.data(), &error));
  EXPECT_EQ(error, ReplyError::CountMismatch);
}

TEST_F(NetDiskd, DelayedRepliesStillArriveWhole) {
  int port = Start({"--delay-ms", "50"});
  TestClient c;
  ASSERT_TRUE(c.Connect(port));
  std::vector<uint8_t> got(4096);
  ASSERT_TRUE(c.Read(0, got.size(), got.data()));
  EXPECT_TRUE(std::equal(got.begin(), got.end(), contents_.begin()));
}

// A stalled reply leaves the client waiting (its own time-out ends the
// wait); SIGTERM still ends the server cleanly while it stalls.
TEST_F(NetDiskd, StallStopsMidReplyAndShutdownStillWorks) {
  int port = Start({"--stall"});
  TestClient c;
  ASSERT_TRUE(c.Connect(port, 300));
  int64_t size = 0;
  ReplyError error;
  ASSERT_TRUE(c.QuerySize(&size, &error)) << "the size query is answered";
  uint8_t request[kRequestSize];
  EncodeRequest({kOpRead, 0, 4096}, request);
  ASSERT_TRUE(c.SendRaw(request, sizeof request));
  std::vector<uint8_t> reply(kTransferReplySize + 4096);
  EXPECT_EQ(c.ReceiveExactly(reply.data(), kTransferReplySize + 2048), Got::All) << "first half of the reply";
  EXPECT_EQ(c.ReceiveExactly(reply.data(), 1), Got::TimedOut);
  EXPECT_EQ(server_->Terminate(), 0);
}

TEST_F(NetDiskd, SigtermEndsTheServerWithClientsConnected) {
  int port = Start();
  TestClient a, b;
  ASSERT_TRUE(a.Connect(port));
  ASSERT_TRUE(b.Connect(port));
  int64_t size;
  ReplyError error;
  ASSERT_TRUE(a.QuerySize(&size, &error));
  EXPECT_EQ(server_->Terminate(), 0);
  EXPECT_TRUE(a.ServerClosed());
  EXPECT_TRUE(b.ServerClosed());
}

TEST_F(NetDiskd, RefusesToStartOnAMissingOrEmptyFile) {
  struct Case {
    const char* name;
    std::string file;
  };
  WriteFile(dir_ / "empty.img", {});
  const Case cases[] = {{"missing", (dir_ / "nothing.img").string()}, {"empty", (dir_ / "empty.img").string()}};
  for (const auto& c : cases) {
    ChildProcess p({BuiltProgram("tools/netdiskd/netdiskd"), "--listen", "127.0.0.1:0", c.file});
    EXPECT_EQ(p.FirstLine(), "") << c.name;
    EXPECT_EQ(p.Terminate(), 1) << c.name;
  }
}

}  // namespace

namespace {

// netdiskd in front of an NBD server keeps what was written: across client
// connections and across a restart of netdiskd itself.
TEST(NetDiskdOverNbd, WrittenDataSurvivesARestartOfTheFrontEnd) {
#if !NETDISKD_HAVE_LIBNBD
  GTEST_SKIP() << "netdiskd was built without libnbd (Debian package libnbd-dev)";
#endif
  if (access("/usr/bin/nbdkit", X_OK) != 0 && access("/usr/sbin/nbdkit", X_OK) != 0)
    GTEST_SKIP() << "nbdkit is not installed (Debian package nbdkit)";
  char tmpl[] = "/tmp/netdiskd-nbd-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  fs::path dir = tmpl;
  std::string socketPath = (dir / "nbd.sock").string();
  std::string nbdkit = access("/usr/bin/nbdkit", X_OK) == 0 ? "/usr/bin/nbdkit" : "/usr/sbin/nbdkit";
  ChildProcess nbd({nbdkit, "-f", "-U", socketPath, "memory", "64M"});
  for (int i = 0; i < 500 && !fs::exists(socketPath); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(fs::exists(socketPath)) << "nbdkit did not start";
  std::string uri = "nbd+unix:///?socket=" + socketPath;

  std::vector<uint8_t> data = Pattern(200 * 1024, 5);
  const uint64_t offset = 32ull << 20;
  {
    ChildProcess front({BuiltProgram("tools/netdiskd/netdiskd"), "--listen", "127.0.0.1:0", "--nbd", uri});
    int port = ListeningPort(front.FirstLine());
    ASSERT_NE(port, 0);
    TestClient c;
    ASSERT_TRUE(c.Connect(port));
    int64_t size = 0;
    ReplyError error;
    ASSERT_TRUE(c.QuerySize(&size, &error));
    EXPECT_EQ(error, ReplyError::None);
    EXPECT_EQ(size, int64_t(64) << 20);
    ASSERT_TRUE(c.Write(offset, data.size(), data.data()));
    EXPECT_EQ(front.Terminate(), 0);
  }
  {
    ChildProcess front({BuiltProgram("tools/netdiskd/netdiskd"), "--listen", "127.0.0.1:0", "--nbd", uri});
    int port = ListeningPort(front.FirstLine());
    ASSERT_NE(port, 0);
    TestClient c;
    ASSERT_TRUE(c.Connect(port));
    std::vector<uint8_t> back(data.size());
    ASSERT_TRUE(c.Read(offset, back.size(), back.data()));
    EXPECT_EQ(back, data);
  }
  nbd.Terminate();
  fs::remove_all(dir);
}

}  // namespace
