// The network disk client of vtarn, in-process with the TCP transport,
// against a real netdiskd on loopback (and, for hostile replies, a scripted
// server in the test).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

#include "child_process.h"
#include "platform/nt/host.h"
#include "platform/nt/tdi.h"
#include "platform/nt/testing.h"
#include "sys/crypt_ioctl.h"
#include "tests/vdisk/vdisk_fixture.h"
#include "vdisk/netdisk_exchange.h"
#include "vdisk/netdisk_protocol.h"

namespace tarn::test {
namespace {

namespace fs = std::filesystem;
namespace nd = tarn::netdisk;
using netdisk_test::BuiltProgram;
using netdisk_test::ChildProcess;
using netdisk_test::ListeningPort;

constexpr size_t kDiskSize = 1 << 20;
constexpr ULONG kTcpConnectionTag = 0x43706354;  // the transport's endpoints, "TcpC"

std::vector<std::string> ReadLines(const fs::path& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A server that answers as a test scripts it: Serve runs for each accepted
// connection in turn, until it returns or the server stops.
class ScriptedServer {
public:
    using Script = std::function<void(int fd, const std::atomic<bool>& stopping)>;

    explicit ScriptedServer(Script serve) : serve_(std::move(serve))
    {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listen_, 4);
        socklen_t length = sizeof a;
        getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedServer()
    {
        stopping_ = true;
        thread_.join();
        close(listen_);
    }
    int Port() const { return port_; }

private:
    void Run()
    {
        while (!stopping_) {
            pollfd p{listen_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            timeval tv{0, 100 * 1000};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            serve_(fd, stopping_);
            close(fd);
        }
    }

    Script serve_;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// Reads one request header; false when the client went away or the server stops.
bool NextRequest(int fd, const std::atomic<bool>& stopping, nd::Request* request)
{
    uint8_t header[nd::kRequestSize];
    size_t got = 0;
    while (got < sizeof header && !stopping) {
        ssize_t n = recv(fd, header + got, sizeof header - got, 0);
        if (n == 0) return false;
        if (n > 0) got += size_t(n);
    }
    if (got < sizeof header) return false;
    *request = nd::DecodeRequest(header);
    return true;
}

void SendBytes(int fd, const void* data, size_t length)
{
    send(fd, data, length, MSG_NOSIGNAL);
}

// A query reply with the given size field, otherwise well-formed.
std::vector<uint8_t> QueryReply(uint64_t size)
{
    std::vector<uint8_t> reply(nd::kQueryReplySize);
    nd::EncodeQueryReply(0, reply.data());
    nd::PutU64(reply.data() + nd::kQueryReplySizeAt, size);
    return reply;
}

// The reply netdiskd would send to a read of Contents.
std::vector<uint8_t> ReadReply(const std::vector<uint8_t>& contents, const nd::Request& request, uint32_t reported)
{
    std::vector<uint8_t> reply(nd::kTransferReplySize + request.Count);
    nd::EncodeTransferReply(reported, reply.data());
    std::copy_n(contents.begin() + long(request.Offset), request.Count, reply.begin() + nd::kTransferReplySize);
    nd::Scramble(reply.data() + nd::kTransferReplySize, request.Count);
    return reply;
}

// Reads the requests that arrive within a short pause of each other: the
// ones a client sent together.
std::vector<nd::Request> RequestBatch(int fd, const std::atomic<bool>& stopping)
{
    std::vector<nd::Request> batch;
    nd::Request request;
    if (!NextRequest(fd, stopping, &request)) return batch;
    batch.push_back(request);
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) != 1 || !NextRequest(fd, stopping, &request)) return batch;
        batch.push_back(request);
    }
}

// Sends Data in pieces of the sizes given in turn, a short pause after
// each, so the client's receives end at every kind of place.
void SendInPieces(int fd, const std::vector<uint8_t>& data, const std::vector<size_t>& sizes)
{
    for (size_t at = 0, i = 0; at < data.size(); ++i) {
        size_t n = std::min(sizes[i % sizes.size()], data.size() - at);
        SendBytes(fd, data.data() + at, n);
        at += n;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

class NetDiskClientTest : public VdiskTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(NtHostLoadDriver(u"\\Driver\\Tcp", TcpDriverEntry, nullptr, &tcp_), STATUS_SUCCESS);
        VdiskTest::SetUp();
        served_ = Dir() / "served.img";
        log_ = Dir() / "exchanges.log";
        contents_ = Pattern(kDiskSize, 3);
        WriteFileBytes(served_, 0, contents_);
        disk_ = Disk(2);
    }
    void TearDown() override
    {
        server_.reset();
        VdiskTest::TearDown();
        EXPECT_EQ(NtPoolOutstanding(kTcpConnectionTag), 0u) << "connections left open";
        NtHostUnloadDriver(tcp_);
        NtTcpSetTimeouts(0, 0);
        NetDiskSetExchangeTimeout(0);
    }

    // Starts netdiskd on the served file with Extra options; returns its port.
    int StartServer(std::vector<std::string> extra = {})
    {
        std::vector<std::string> argv = {BuiltProgram("tools/netdiskd/netdiskd"), "--listen", "127.0.0.1:0",
                                         served_.string(), "--log", log_.string()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        server_ = std::make_unique<ChildProcess>(argv);
        int port = ListeningPort(server_->FirstLine());
        EXPECT_NE(port, 0) << "netdiskd did not start";
        return port;
    }

    static VDISK_MOUNT_RECORD NetRecord(int port, const fs::path& cache = {})
    {
        VDISK_MOUNT_RECORD record = MakeRecord("/net/disk", 0, false, VDISK_KIND_NETWORK, 'N');
        record.ServerAddress = htonl(INADDR_LOOPBACK);
        record.ServerPort = htons(uint16_t(port));
        if (!cache.empty()) {
            record.UseLocalCache = 1;
            std::u16string name = NtPathOf(cache);
            std::memcpy(record.CacheFileName, name.data(), name.size() * sizeof(char16_t));
        }
        return record;
    }

    std::vector<uint8_t> Served(uint64_t offset, size_t length) { return ReadFileBytes(served_, offset, length); }

    std::vector<uint8_t> Slice(uint64_t offset, size_t length) const
    {
        return std::vector<uint8_t>(contents_.begin() + long(offset), contents_.begin() + long(offset + length));
    }

    bool Mounted() { return Control(disk_, IOCTL_VDISK_QUERY, {}, nullptr, VDISK_MOUNT_RECORD_SIZE).status == STATUS_SUCCESS; }

    void ClearLog() { std::ofstream(log_, std::ios::trunc); }

    PDRIVER_OBJECT tcp_ = nullptr;
    PDEVICE_OBJECT disk_ = nullptr;
    fs::path served_, log_;
    std::vector<uint8_t> contents_;
    std::unique_ptr<ChildProcess> server_;
};

TEST_F(NetDiskClientTest, MountedDiskReadsAndWritesTheServedFile)
{
    int port = StartServer();
    ASSERT_EQ(Mount(disk_, NetRecord(port)).status, STATUS_SUCCESS);
    EXPECT_EQ(Ext(disk_)->DiskSize, int64_t(kDiskSize));
    EXPECT_EQ(disk_->AlignmentRequirement, ULONG(FILE_512_BYTE_ALIGNMENT));

    // Reads descramble to the file's bytes, to the last byte of the disk.
    EXPECT_EQ(Read(disk_, 0, 4096), Slice(0, 4096));
    EXPECT_EQ(Read(disk_, kDiskSize - 8192, 8192), Slice(kDiskSize - 8192, 8192));

    // A write lands in the file, the caller's buffer unchanged, and reads back.
    std::vector<uint8_t> data = Pattern(96 * 1024, 8), sent = data;
    IrpResult w = Write(disk_, 40960, data);
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.information, data.size());
    EXPECT_EQ(data, sent);
    EXPECT_EQ(Served(40960, data.size()), data);
    EXPECT_EQ(Read(disk_, 40960, ULONG(data.size())), data);

    // Past the end, and raw writes (no backing file), are refused.
    std::vector<uint8_t> tail(1024);
    EXPECT_EQ(Write(disk_, kDiskSize - 512, tail).status, STATUS_INVALID_PARAMETER);
    std::vector<uint8_t> raw(RAW_WRITE_HEADER_LENGTH + 512, 0);
    EXPECT_EQ(Control(disk_, IOCTL_CRYPT_RAW_WRITE, raw).status, STATUS_INVALID_DEVICE_REQUEST);

    EXPECT_EQ(Unmount(disk_).status, STATUS_SUCCESS);
    EXPECT_EQ(NtPoolOutstanding(kTcpConnectionTag), 0u);
}

TEST_F(NetDiskClientTest, TransfersGoAsExchangesOfAtMost64KiB)
{
    int port = StartServer();
    ASSERT_EQ(Mount(disk_, NetRecord(port)).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadLines(log_), (std::vector<std::string>{"op=0x84 offset=0 count=0", "op=0x82 offset=0 count=512"}));

    ClearLog();
    EXPECT_EQ(Read(disk_, 0, 200 * 1024), Slice(0, 200 * 1024));
    std::vector<uint8_t> data = Pattern(70000, 4);
    EXPECT_EQ(Write(disk_, 524288, data).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadLines(log_),
              (std::vector<std::string>{"op=0x82 offset=0 count=65536", "op=0x82 offset=65536 count=65536",
                                        "op=0x82 offset=131072 count=65536", "op=0x82 offset=196608 count=8192",
                                        "op=0x83 offset=524288 count=65536", "op=0x83 offset=589824 count=4464"}));
    EXPECT_EQ(Unmount(disk_).status, STATUS_SUCCESS);
}

TEST_F(NetDiskClientTest, EncryptedDiskShowsPlaintextOnlyWithTheKey)
{
    const Key key = KeyFromText("network secret");
    std::vector<uint8_t> plaintext = Pattern(kDiskSize, 21);
    plaintext[510] = 0x55;
    plaintext[511] = 0xAA;
    WriteFileBytes(served_, 0, StoredForm(key, 0, plaintext));
    int port = StartServer();
    ASSERT_EQ(Mount(disk_, NetRecord(port)).status, STATUS_SUCCESS);
    EXPECT_TRUE(Ext(disk_)->Encrypted) << "marker not found at mount";

    // Without the key the device shows what the server holds.
    EXPECT_EQ(Read(disk_, 0, 4096), Served(0, 4096));

    ASSERT_EQ(SetKey(disk_, key).status, STATUS_SUCCESS);
    EXPECT_EQ(Read(disk_, 0, 128 * 1024), std::vector<uint8_t>(plaintext.begin(), plaintext.begin() + 128 * 1024));

    // Writes go out as ciphertext (checked with OpenSSL), unit 0 with its marker.
    std::vector<uint8_t> data = Pattern(8192, 22), sent = data;
    ASSERT_EQ(Write(disk_, 0, data).status, STATUS_SUCCESS);
    EXPECT_EQ(data, sent) << "caller's buffer changed";
    EXPECT_EQ(Served(0, 8192), StoredForm(key, 0, data));
    EXPECT_EQ(Read(disk_, 0, 8192), ReadForm(key, 0, StoredForm(key, 0, data)));
    EXPECT_EQ(Unmount(disk_).status, STATUS_SUCCESS);
}

TEST_F(NetDiskClientTest, LocalCacheKeepsWritesAndReadsThemBackAtEveryOffset)
{
    const fs::path cache = Dir() / "writes.cache";
    int port = StartServer();
    ASSERT_EQ(Mount(disk_, NetRecord(port, cache)).status, STATUS_SUCCESS);
    ASSERT_TRUE(fs::exists(cache));
    EXPECT_EQ(fs::file_size(cache), 0u);
    ClearLog();

    // Offset 0 is cached and read back like any other block.
    struct Case {
        int64_t offset;
        size_t length;
    } cases[] = {{0, 512}, {4096, 4096}, {1048576 - 1536, 1536}, {512 * 1024, 70 * 1024}};
    for (const Case& c : cases) {
        std::vector<uint8_t> data = Pattern(c.length, uint32_t(c.offset) + 1);
        ASSERT_EQ(Write(disk_, c.offset, data).status, STATUS_SUCCESS) << c.offset;
        EXPECT_EQ(Read(disk_, c.offset, ULONG(c.length)), data) << "read at " << c.offset;
        EXPECT_EQ(Served(uint64_t(c.offset), c.length), Slice(uint64_t(c.offset), c.length))
            << "write reached the server at " << c.offset;
    }
    for (const std::string& line : ReadLines(log_)) EXPECT_EQ(line.rfind("op=0x83", 0), std::string::npos) << line;

    // A read over cached and uncached blocks mixes both, block by block.
    std::vector<uint8_t> expected = Slice(0, 16384);
    std::vector<uint8_t> first = Pattern(512, 1), second = Pattern(4096, 4097);
    std::copy(first.begin(), first.end(), expected.begin());
    std::copy(second.begin(), second.end(), expected.begin() + 4096);
    EXPECT_EQ(Read(disk_, 0, 16384), expected);

    // Writing cached blocks again reuses their cache-file blocks.
    const uintmax_t size = fs::file_size(cache);
    EXPECT_EQ(size, (1 + 1 + 8 + 3 + 140) * 512u);
    std::vector<uint8_t> again = Pattern(4096, 77);
    ASSERT_EQ(Write(disk_, 4096, again).status, STATUS_SUCCESS);
    EXPECT_EQ(fs::file_size(cache), size);
    EXPECT_EQ(ReadFileBytes(cache, 2 * 512, 4096), again) << "disk blocks 8..15 are cache blocks 2..9";
    EXPECT_EQ(Read(disk_, 4096, 4096), again);

    // Unaligned transfers have no place in a block cache.
    std::vector<uint8_t> odd(100);
    EXPECT_EQ(Write(disk_, 100, odd).status, STATUS_INVALID_PARAMETER);

    EXPECT_EQ(Unmount(disk_).status, STATUS_SUCCESS);
    EXPECT_FALSE(fs::exists(cache)) << "cache file left behind";
    EXPECT_EQ(Served(0, kDiskSize), contents_);
}

TEST_F(NetDiskClientTest, CacheThatCannotBeMadeFailsTheMount)
{
    int port = StartServer();
    EXPECT_EQ(Mount(disk_, NetRecord(port, Dir() / "missing" / "writes.cache")).status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_FALSE(Mounted());
    EXPECT_EQ(NtPoolOutstanding(kTcpConnectionTag), 0u);

    // The mount allocates the caller's context, the name, the connection,
    // then the cache record and its directory.
    for (ULONG nth : {4u, 5u}) {
        NtPoolFailAllocation(VDISK_POOL_TAG, nth);
        EXPECT_EQ(Mount(disk_, NetRecord(port, Dir() / "writes.cache")).status, STATUS_NO_MEMORY) << nth;
        NtResetFaults();
        EXPECT_FALSE(Mounted());
        EXPECT_FALSE(fs::exists(Dir() / "writes.cache"));
        EXPECT_EQ(NtPoolOutstanding(kTcpConnectionTag), 0u);
    }
}

TEST_F(NetDiskClientTest, DroppedConnectionIsMadeAgainAndTheTransferRepeatedOnce)
{
    // Mount takes two exchanges; the 200 KiB read meets the close after two
    // more and is repeated whole on a new connection.
    int port = StartServer({"--drop-after", "4"});
    ASSERT_EQ(Mount(disk_, NetRecord(port)).status, STATUS_SUCCESS);
    ClearLog();
    EXPECT_EQ(Read(disk_, 0, 200 * 1024), Slice(0, 200 * 1024));
    EXPECT_EQ(ReadLines(log_),
              (std::vector<std::string>{"op=0x82 offset=0 count=65536", "op=0x82 offset=65536 count=65536",
                                        "op=0x82 offset=0 count=65536", "op=0x82 offset=65536 count=65536",
                                        "op=0x82 offset=131072 count=65536", "op=0x82 offset=196608 count=8192"}));

    // A write meeting the next close succeeds as well, and arrives.
    std::vector<uint8_t> data = Pattern(4096, 5);
    EXPECT_EQ(Write(disk_, 8192, data).status, STATUS_SUCCESS);
    EXPECT_EQ(Served(8192, 4096), data);

    // Only one repeat: a transfer needing more than one connection's worth
    // of exchanges fails.
    IrpResult r = SendRead(disk_, 0, std::vector<uint8_t>(300 * 1024).data(), 300 * 1024);
    EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(Unmount(disk_).status, STATUS_SUCCESS);
}

TEST_F(NetDiskClientTest, StalledServerFailsTheRequestInsteadOfHangingTheWorker)
{
    NtTcpSetTimeouts(2000, 300);
    int port = StartServer({"--stall"});
    // The marker probe stalls too; it counts as no marker.
    ASSERT_EQ(Mount(disk_, NetRecord(port)).status, STATUS_SUCCESS);
    std::vector<uint8_t> buffer(8192);
    IrpResult r = SendRead(disk_, 0, buffer.data(), ULONG(buffer.size()));
    EXPECT_EQ(r.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(r.information, 0u);
    // The write's data arrives but no reply comes: a failure, not a success.
    std::vector<uint8_t> data = Pattern(4096, 6);
    r = Write(disk_, 4096, data);
    EXPECT_EQ(r.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(Unmount(disk_).status, STATUS_SUCCESS);
}

TEST_F(NetDiskClientTest, ServerWithBadSizeOrShortQueryReplyFailsTheMount)
{
    NtTcpSetTimeouts(2000, 300);
    struct Case {
        const char* what;
        std::vector<uint8_t> reply;  // sent after the query; then the connection closes
        bool hold;                   // keep the connection open after the reply
        NTSTATUS expected;
    } cases[] = {
        {"size 0", QueryReply(0), false, STATUS_UNSUCCESSFUL},
        {"size 2^63", QueryReply(uint64_t(1) << 63), false, STATUS_UNSUCCESSFUL},
        {"size 2^62 + 512", QueryReply((uint64_t(1) << 62) + 512), false, STATUS_UNSUCCESSFUL},
        {"length field 17",
         [] {
             auto r = QueryReply(kDiskSize);
             nd::PutU32(r.data() + nd::kQueryReplyLengthAt, 17);
             return r;
         }(),
         false, STATUS_UNSUCCESSFUL},
        {"short reply, then closed", std::vector<uint8_t>(10, 0), false, STATUS_INVALID_DEVICE_STATE},
        {"short reply, then silence", std::vector<uint8_t>(10, 0), true, STATUS_IO_TIMEOUT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server([&](int fd, const std::atomic<bool>& stopping) {
            nd::Request request;
            if (!NextRequest(fd, stopping, &request)) return;
            SendBytes(fd, c.reply.data(), c.reply.size());
            while (c.hold && !stopping && NextRequest(fd, stopping, &request)) {
            }
        });
        EXPECT_EQ(Mount(disk_, NetRecord(server.Port())).status, c.expected);
        EXPECT_FALSE(Mounted());
        EXPECT_EQ(NtPoolOutstanding(kTcpConnectionTag), 0u);
    }

    // netdiskd's own fault: the length field off by one.
    int port = StartServer({"--corrupt-length"});
    EXPECT_EQ(Mount(disk_, NetRecord(port)).status, STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(Mounted());

    // A size the cache directory cannot cover.
    ScriptedServer huge([&](int fd, const std::atomic<bool>& stopping) {
        nd::Request request;
        if (!NextRequest(fd, stopping, &request)) return;
        auto reply = QueryReply(uint64_t(1) << 50);
        SendBytes(fd, reply.data(), reply.size());
    });
    EXPECT_EQ(Mount(disk_, NetRecord(huge.Port(), Dir() / "c.cache")).status, STATUS_NO_MEMORY);
    EXPECT_FALSE(Mounted());
}

TEST_F(NetDiskClientTest, MisbehavingTransferRepliesFailTheRequest)
{
    // Reads are answered with a count of 0 (the server's store failed), or
    // drip one byte at a time: the deadline of the whole exchange ends it.
    NtTcpSetTimeouts(2000, 2000);
    NetDiskSetExchangeTimeout(300);
    struct Case {
        const char* what;
        bool drip;
        NTSTATUS expected;
    } cases[] = {{"count 0 with filler data", false, STATUS_DEVICE_PROTOCOL_ERROR},
                 {"one byte every 30 ms", true, STATUS_IO_TIMEOUT}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server([&](int fd, const std::atomic<bool>& stopping) {
            nd::Request request;
            while (NextRequest(fd, stopping, &request)) {
                if (request.Opcode == nd::kOpQuerySize) {
                    auto reply = QueryReply(kDiskSize);
                    SendBytes(fd, reply.data(), reply.size());
                    continue;
                }
                std::vector<uint8_t> reply(nd::kTransferReplySize + request.Count, 0);
                nd::EncodeTransferReply(0, reply.data());
                if (!c.drip) {
                    SendBytes(fd, reply.data(), reply.size());
                    continue;
                }
                for (size_t i = 0; i < reply.size() && !stopping; ++i) {
                    if (send(fd, &reply[i], 1, MSG_NOSIGNAL) != 1) return;
                    std::this_thread::sleep_for(std::chrono::milliseconds(30));
                }
            }
        });
        ASSERT_EQ(Mount(disk_, NetRecord(server.Port())).status, STATUS_SUCCESS);
        std::vector<uint8_t> buffer(4096, 0xEE);
        IrpResult r = SendRead(disk_, 4096, buffer.data(), ULONG(buffer.size()));
        EXPECT_EQ(r.status, c.expected);
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(Unmount(disk_).status, STATUS_SUCCESS);
    }
}

// Several read exchanges are in flight at once; their replies may arrive
// cut anywhere or run together, and each must land at its own place.
TEST_F(NetDiskClientTest, PipelinedRepliesCutOrRunTogetherLandAtTheirPlaces)
{
    const std::vector<std::vector<size_t>> cuts = {
        {1, 11, 1, 13, 30000},             // headers cut in the middle
        {12, 65536, 12 + 65536 + 12 + 5},  // a reply and the next header at once
        {3 * (12 + 65536) + 100},          // three replies and part of the fourth
    };
    for (const auto& sizes : cuts) {
        SCOPED_TRACE(::testing::PrintToString(sizes));
        std::atomic<size_t> batchSize{0};
        ScriptedServer server([&](int fd, const std::atomic<bool>& stopping) {
            while (!stopping) {
                std::vector<nd::Request> batch = RequestBatch(fd, stopping);
                if (batch.empty()) return;
                std::vector<uint8_t> replies;
                for (const nd::Request& r : batch) {
                    std::vector<uint8_t> reply = r.Opcode == nd::kOpQuerySize ? QueryReply(kDiskSize)
                                                                               : ReadReply(contents_, r, r.Count);
                    replies.insert(replies.end(), reply.begin(), reply.end());
                }
                batchSize = std::max(batchSize.load(), batch.size());
                SendInPieces(fd, replies, sizes);
            }
        });
        ASSERT_EQ(Mount(disk_, NetRecord(server.Port())).status, STATUS_SUCCESS);
        EXPECT_EQ(Read(disk_, 4096, 200 * 1024), Slice(4096, 200 * 1024));
        EXPECT_EQ(batchSize.load(), 4u) << "the four exchanges of the read did not go out together";
        EXPECT_EQ(Unmount(disk_).status, STATUS_SUCCESS);
    }
}

// A reply lost or malformed in the middle of a pipeline: the replies after
// it cannot be trusted, so the request fails (or, when the server closed,
// is repeated whole once on a new connection), never succeeds with holes.
TEST_F(NetDiskClientTest, FailureInTheMiddleOfAPipelineFailsOrRepeatsTheWholeTransfer)
{
    NtTcpSetTimeouts(2000, 300);
    enum class Fault { CloseAfterTwoReplies, SecondReplyCountsZero, WriteRepliesStopAfterTwo };
    struct Case {
        const char* what;
        Fault fault;
        NTSTATUS expected;
    } cases[] = {
        {"server closes after two of four read replies", Fault::CloseAfterTwoReplies, STATUS_SUCCESS},
        {"second of four read replies reports 0 bytes", Fault::SecondReplyCountsZero, STATUS_DEVICE_PROTOCOL_ERROR},
        {"write replies stop after two of four", Fault::WriteRepliesStopAfterTwo, STATUS_IO_TIMEOUT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::atomic<int> connections{0}, faulty{1};
        std::vector<uint8_t> written(kDiskSize);
        ScriptedServer server([&](int fd, const std::atomic<bool>& stopping) {
            ++connections;
            int transfers = 0;  // exchanges with data after the mount's two
            nd::Request r;
            while (NextRequest(fd, stopping, &r)) {
                if (r.Opcode == nd::kOpQuerySize) {
                    auto reply = QueryReply(kDiskSize);
                    SendBytes(fd, reply.data(), reply.size());
                    continue;
                }
                const bool mounting = r.Opcode == nd::kOpRead && r.Count == 512;
                const int nth = mounting ? 0 : ++transfers;
                const bool fault = !mounting && faulty > 0;
                if (r.Opcode == nd::kOpWrite) {
                    std::vector<uint8_t> data(r.Count);
                    size_t got = 0;
                    while (got < data.size() && !stopping) {
                        ssize_t n = recv(fd, data.data() + got, data.size() - got, 0);
                        if (n == 0) return;
                        if (n > 0) got += size_t(n);
                    }
                    if (fault && c.fault == Fault::WriteRepliesStopAfterTwo && nth > 2) continue;
                    uint8_t reply[nd::kTransferReplySize];
                    nd::EncodeTransferReply(r.Count, reply);
                    SendBytes(fd, reply, sizeof reply);
                    continue;
                }
                if (fault && c.fault == Fault::CloseAfterTwoReplies && nth > 2) {
                    --faulty;
                    return;
                }
                const bool zero = fault && c.fault == Fault::SecondReplyCountsZero && nth == 2;
                auto reply = ReadReply(contents_, r, zero ? 0 : r.Count);
                SendBytes(fd, reply.data(), reply.size());
                if (zero) --faulty;
            }
        });
        ASSERT_EQ(Mount(disk_, NetRecord(server.Port())).status, STATUS_SUCCESS);
        std::vector<uint8_t> buffer(256 * 1024, 0xEE);
        IrpResult r;
        if (c.fault == Fault::WriteRepliesStopAfterTwo) {
            std::vector<uint8_t> data = Pattern(buffer.size(), 31);
            r = Write(disk_, 0, data);
        } else {
            r = SendRead(disk_, 65536, buffer.data(), ULONG(buffer.size()));
        }
        EXPECT_EQ(r.status, c.expected);
        if (NT_SUCCESS(c.expected)) {
            EXPECT_EQ(r.information, buffer.size());
            EXPECT_EQ(buffer, Slice(65536, buffer.size()));
            EXPECT_EQ(connections.load(), 2) << "not repeated on a new connection";
        } else {
            EXPECT_EQ(r.information, 0u);
            // The connection was dropped: the next read goes on a new one and works.
            EXPECT_EQ(Read(disk_, 0, 8192), Slice(0, 8192));
            EXPECT_EQ(connections.load(), 2);
        }
        EXPECT_EQ(Unmount(disk_).status, STATUS_SUCCESS);
    }
}

// Read-ahead must never hand out data older than what the reader can see:
// not after a write of its own (to the server or to the local cache), not
// after a jump elsewhere, and it must never ask past the end of the disk.
TEST_F(NetDiskClientTest, ReadAheadNeverServesStaleDataNorReadsPastTheDisk)
{
    int port = StartServer();
    for (bool cached : {false, true}) {
        SCOPED_TRACE(cached ? "with the local cache" : "without a cache");
        std::vector<uint8_t> expected = contents_;
        auto check = [&](int64_t offset, ULONG length) {
            EXPECT_EQ(Read(disk_, offset, length),
                      std::vector<uint8_t>(expected.begin() + offset, expected.begin() + offset + length))
                << "read at " << offset;
        };
        ASSERT_EQ(Mount(disk_, NetRecord(port, cached ? Dir() / "ra.cache" : fs::path())).status, STATUS_SUCCESS);
        ClearLog();
        check(0, 65536);
        check(65536, 65536);  // sequential: the next reads are asked for now
        // The server logs the read-ahead as it gets to it.
        bool readAhead = false;
        for (int i = 0; i < 500 && !readAhead; ++i) {
            const std::vector<std::string> lines = ReadLines(log_);
            readAhead = std::find(lines.begin(), lines.end(), "op=0x82 offset=196608 count=65536") != lines.end();
            if (!readAhead) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(readAhead) << "no read-ahead after two sequential reads";

        // A write over what was read ahead; the reads after it see it.
        std::vector<uint8_t> data = Pattern(65536, cached ? 41 : 42);
        ASSERT_EQ(Write(disk_, 196608, data).status, STATUS_SUCCESS);
        std::copy(data.begin(), data.end(), expected.begin() + 196608);
        check(131072, 65536);
        check(196608, 65536);
        check(262144, 65536);

        // A jump away, and back to where the stream left off.
        check(700 * 1024, 4096);
        check(327680, 65536);
        check(393216, 65536);

        // Sequential reads to the last byte: nothing asked beyond it.
        for (int64_t at = kDiskSize - 5 * 65536; at < int64_t(kDiskSize); at += 65536) check(at, 65536);
        for (const std::string& line : ReadLines(log_)) EXPECT_EQ(line.rfind("reject", 0), std::string::npos) << line;
        EXPECT_EQ(Unmount(disk_).status, STATUS_SUCCESS);
    }
}

// A read-ahead the server cannot serve (its store fails: a count of 0)
// must not fail the write or the other read that drops it unread; only a
// read that asks for those bytes fails.
TEST_F(NetDiskClientTest, ReadAheadTheServerCannotServeFailsOnlyTheReadThatWantsIt)
{
    constexpr uint64_t kBadFrom = 512 * 1024;
    std::vector<uint8_t> disk = contents_;
    ScriptedServer server([&](int fd, const std::atomic<bool>& stopping) {
        nd::Request r;
        while (NextRequest(fd, stopping, &r)) {
            if (r.Opcode == nd::kOpQuerySize) {
                auto reply = QueryReply(kDiskSize);
                SendBytes(fd, reply.data(), reply.size());
            } else if (r.Opcode == nd::kOpRead) {
                auto reply = ReadReply(disk, r, r.Offset + r.Count > kBadFrom ? 0 : r.Count);
                SendBytes(fd, reply.data(), reply.size());
            } else {
                size_t got = 0;
                while (got < r.Count && !stopping) {
                    ssize_t n = recv(fd, disk.data() + r.Offset + got, r.Count - got, 0);
                    if (n == 0) return;
                    if (n > 0) got += size_t(n);
                }
                uint8_t reply[nd::kTransferReplySize];
                nd::EncodeTransferReply(r.Count, reply);
                SendBytes(fd, reply, sizeof reply);
            }
        }
    });
    ASSERT_EQ(Mount(disk_, NetRecord(server.Port())).status, STATUS_SUCCESS);
    // Sequential reads up to the failing part: the read-ahead reaches into it.
    EXPECT_EQ(Read(disk_, 256 * 1024, 65536), Slice(256 * 1024, 65536));
    EXPECT_EQ(Read(disk_, 320 * 1024, 65536), Slice(320 * 1024, 65536));
    std::vector<uint8_t> data = Pattern(8192, 51);
    EXPECT_EQ(Write(disk_, 0, data).status, STATUS_SUCCESS);
    EXPECT_EQ(Read(disk_, 0, 8192), data);

    // Again, now dropped by a read elsewhere.
    EXPECT_EQ(Read(disk_, 384 * 1024, 65536), Slice(384 * 1024, 65536));
    EXPECT_EQ(Read(disk_, 448 * 1024, 65536), Slice(448 * 1024, 65536));
    EXPECT_EQ(Read(disk_, 8192, 4096), Slice(8192, 4096));

    std::vector<uint8_t> buffer(65536);
    IrpResult r = SendRead(disk_, kBadFrom, buffer.data(), ULONG(buffer.size()));
    EXPECT_EQ(r.status, STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(Unmount(disk_).status, STATUS_SUCCESS);
}

// The server closes while read-ahead is in flight: the read that wanted
// those replies connects again and asks once more.
TEST_F(NetDiskClientTest, ReadAheadLostWithItsConnectionIsAskedForAgain)
{
    int port = StartServer({"--drop-after", "4"});
    ASSERT_EQ(Mount(disk_, NetRecord(port)).status, STATUS_SUCCESS);
    for (int64_t at = 0; at < 16 * 65536; at += 65536) {
        std::vector<uint8_t> buffer(65536);
        IrpResult r = SendRead(disk_, at, buffer.data(), ULONG(buffer.size()));
        ASSERT_EQ(r.status, STATUS_SUCCESS) << "read at " << at;
        EXPECT_EQ(buffer, Slice(uint64_t(at), buffer.size())) << "read at " << at;
    }
    EXPECT_EQ(Unmount(disk_).status, STATUS_SUCCESS);
}

TEST_F(NetDiskClientTest, ReadOnlyMountNeverWritesTheServer)
{
    int port = StartServer();
    VDISK_MOUNT_RECORD record = NetRecord(port);
    record.ReadOnly = 1;
    ASSERT_EQ(Mount(disk_, record).status, STATUS_SUCCESS);
    std::vector<uint8_t> data = Pattern(4096, 9);
    EXPECT_EQ(Write(disk_, 4096, data).status, STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(Served(4096, 4096), Slice(4096, 4096));
    EXPECT_EQ(Unmount(disk_).status, STATUS_SUCCESS);
}

// netdiskd in front of nbdkit's memory plugin: written data stays.
TEST_F(NetDiskClientTest, DiskOverNbdKeepsWrittenData)
{
#if !NETDISKD_HAVE_LIBNBD
    GTEST_SKIP() << "netdiskd was built without libnbd (Debian package libnbd-dev)";
#endif
    std::string nbdkit = access("/usr/bin/nbdkit", X_OK) == 0 ? "/usr/bin/nbdkit" : "/usr/sbin/nbdkit";
    if (access(nbdkit.c_str(), X_OK) != 0) GTEST_SKIP() << "nbdkit is not installed (Debian package nbdkit)";
    std::string socketPath = (Dir() / "nbd.sock").string();
    ChildProcess nbd({nbdkit, "-f", "-U", socketPath, "memory", "64M"});
    for (int i = 0; i < 500 && !fs::exists(socketPath); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(fs::exists(socketPath)) << "nbdkit did not start";
    server_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        BuiltProgram("tools/netdiskd/netdiskd"), "--listen", "127.0.0.1:0", "--nbd", "nbd+unix:///?socket=" + socketPath});
    int port = ListeningPort(server_->FirstLine());
    ASSERT_NE(port, 0);

    std::vector<uint8_t> data = Pattern(200 * 1024, 12);
    ASSERT_EQ(Mount(disk_, NetRecord(port)).status, STATUS_SUCCESS);
    EXPECT_EQ(Ext(disk_)->DiskSize, int64_t(64) << 20);
    ASSERT_EQ(Write(disk_, 32 << 20, data).status, STATUS_SUCCESS);
    ASSERT_EQ(Unmount(disk_).status, STATUS_SUCCESS);
    ASSERT_EQ(Mount(disk_, NetRecord(port)).status, STATUS_SUCCESS);
    EXPECT_EQ(Read(disk_, 32 << 20, ULONG(data.size())), data);
    EXPECT_EQ(Unmount(disk_).status, STATUS_SUCCESS);
    server_.reset();
    nbd.Terminate();
}

}  // namespace
}  // namespace tarn::test
