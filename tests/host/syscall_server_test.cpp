// The system-call socket on its own, with a handler that echoes what it got:
// hostile frames, shared buffers and who may connect.
#include "platform/host/syscall_server.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <mutex>

#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tarn;
using namespace tarn::host;

namespace {

constexpr uint32_t kInvalidParameter = 0xC000000D;
constexpr uint32_t kAccessDenied = 0xC0000022;

// Replies with the caller's uid as information and the op as status.
class EchoHandler : public RequestHandler {
public:
    void Handle(Connection& conn, const wire::Credentials& caller, uint32_t op, wire::Reader& args,
                wire::Writer& reply) override {
        std::string s;
        if (op == 99 && !args.Str(s)) {
            wire::WriteReplyHeader(reply, kInvalidParameter, 0);
            return;
        }
        wire::WriteReplyHeader(reply, op, caller.uid);
        reply.U64(conn.SharedSize());
    }
    void Disconnected(Connection&) override {
        std::lock_guard<std::mutex> guard(mutex);
        ++disconnects;
    }
    std::mutex mutex;
    int disconnects = 0;
};

class SyscallServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarn-host-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/" + wire::kSocketName;
        server_ = std::make_unique<SyscallServer>(path_, static_cast<gid_t>(-1), handler_);
        auto s = server_->Start();
        ASSERT_TRUE(s) << s.error();
    }
    void TearDown() override {
        server_.reset();
        std::filesystem::remove_all(dir_);
    }
    int Connect() {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path_.c_str());
        const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            ::close(s);
            return -1;
        }
        return s;
    }
    // Sends raw body bytes as one frame and reads the reply header.
    static bool Roundtrip(int s, const std::vector<uint8_t>& body, uint32_t& status, uint64_t& info, int passFd = -1) {
        wire::Writer w;
        w.Bytes(body.data(), body.size());
        if (!wire::SendFrame(s, w.Finish(), passFd)) return false;
        std::vector<uint8_t> reply;
        if (!wire::RecvFrame(s, reply)) return false;
        wire::Reader r(reply.data(), reply.size());
        return wire::ReadReplyHeader(r, status, info);
    }
    static std::vector<uint8_t> Request(uint32_t op, wire::Credentials creds, const std::string* arg = nullptr) {
        wire::Writer w;
        wire::WriteRequestHeader(w, static_cast<wire::Op>(op), creds);
        if (arg) w.Str(*arg);
        auto& f = w.Finish();
        return std::vector<uint8_t>(f.begin() + 4, f.end());
    }

    std::string dir_, path_;
    EchoHandler handler_;
    std::unique_ptr<SyscallServer> server_;
};

TEST_F(SyscallServerTest, MalformedRequestsGetErrorsAndTheConnectionStaysUsable) {
    const int s = Connect();
    ASSERT_GE(s, 0);
    const std::vector<std::vector<uint8_t>> bad = {
        {},                                   // empty body
        {1, 0, 0},                            // shorter than an op
        {4, 0, 0, 0, 0, 0, 0, 0},             // op and uid, no gid
        {4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0},  // group count far beyond the limit
    };
    uint32_t status = 0;
    uint64_t info = 0;
    for (const auto& body : bad) {
        ASSERT_TRUE(Roundtrip(s, body, status, info)) << body.size();
        EXPECT_EQ(status, kInvalidParameter) << body.size();
    }
    // An argument cut short inside the handler.
    auto truncated = Request(99, {0, 0, {}});
    truncated.push_back(200);  // a string length with no string
    ASSERT_TRUE(Roundtrip(s, truncated, status, info));
    EXPECT_EQ(status, kInvalidParameter);
    // Still the same connection, still served.
    std::string arg = "ok";
    ASSERT_TRUE(Roundtrip(s, Request(99, {0, 0, {}}, &arg), status, info));
    EXPECT_EQ(status, 99u);
    ::close(s);
}

TEST_F(SyscallServerTest, OversizedFrameDropsOnlyThatConnection) {
    const int s = Connect();
    ASSERT_GE(s, 0);
    const uint8_t huge[4] = {0xFF, 0xFF, 0xFF, 0x7F};
    ASSERT_EQ(::write(s, huge, 4), 4);
    char c;
    EXPECT_EQ(::read(s, &c, 1), 0);  // closed by the server
    ::close(s);
    const int again = Connect();
    ASSERT_GE(again, 0);
    uint32_t status = 0;
    uint64_t info = 0;
    ASSERT_TRUE(Roundtrip(again, Request(7, {0, 0, {}}), status, info));
    EXPECT_EQ(status, 7u);
    ::close(again);
}

TEST_F(SyscallServerTest, SharedBufferIsCheckedBeforeItIsMapped) {
    struct Case {
        uint32_t size;
        off_t fileSize;
        uint32_t expect;
    } cases[] = {
        {0, 4096, kInvalidParameter},          // nothing to map
        {4096, 0, kInvalidParameter},          // file smaller than claimed
        {4097, 8192, kInvalidParameter},       // not whole pages
        {wire::kMaxSharedSize + 4096, 0, kInvalidParameter},
        {65536, 65536, 0},
    };
    for (const auto& c : cases) {
        const int s = Connect();
        ASSERT_GE(s, 0);
        const int fd = ::memfd_create("t", 0);
        ASSERT_EQ(::ftruncate(fd, c.fileSize), 0);
        wire::Writer w;
        wire::WriteRequestHeader(w, wire::Op::Hello, {0, 0, {}});
        w.U32(c.size);
        auto& f = w.Finish();
        uint32_t status = 1;
        uint64_t info = 0;
        ASSERT_TRUE(Roundtrip(s, std::vector<uint8_t>(f.begin() + 4, f.end()), status, info, fd));
        EXPECT_EQ(status, c.expect) << c.size;
        ::close(fd);
        ::close(s);
    }
    // Hello without a descriptor.
    const int s = Connect();
    wire::Writer w;
    wire::WriteRequestHeader(w, wire::Op::Hello, {0, 0, {}});
    w.U32(4096);
    auto& f = w.Finish();
    uint32_t status = 0;
    uint64_t info = 0;
    ASSERT_TRUE(Roundtrip(s, std::vector<uint8_t>(f.begin() + 4, f.end()), status, info));
    EXPECT_EQ(status, kInvalidParameter);
    ::close(s);
}

TEST_F(SyscallServerTest, ClaimedIdentityIsBelievedOnlyFromTheOwner) {
    // The owner (this process) may act for another identity.
    const int s = Connect();
    ASSERT_GE(s, 0);
    uint32_t status = 0;
    uint64_t info = 0;
    ASSERT_TRUE(Roundtrip(s, Request(5, {4321, 4321, {}}), status, info));
    EXPECT_EQ(info, 4321u);
    ::close(s);
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a caller under another uid";

    // A stranger who reaches the socket (mode opened up on purpose) is refused
    // outright, whatever identity it claims.
    ASSERT_EQ(::chmod(path_.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(10);
        const int c = Connect();
        if (c < 0) ::_exit(11);
        uint32_t st = 0;
        uint64_t in = 0;
        if (!Roundtrip(c, Request(5, {0, 0, {}}), st, in)) ::_exit(12);
        ::_exit(st == kAccessDenied ? 0 : 13);
    }
    int wstatus = 0;
    ASSERT_EQ(::waitpid(pid, &wstatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(wstatus));
    EXPECT_EQ(WEXITSTATUS(wstatus), 0);
}

TEST(SyscallServerPolicy, OnlyOwnerRootAndGroupMembersAreAllowed) {
    const uid_t me = ::geteuid();
    EXPECT_TRUE(SyscallServer::PeerAllowed(me, ::getpid(), 12345, static_cast<gid_t>(-1)));
    EXPECT_TRUE(SyscallServer::PeerAllowed(0, ::getpid(), 0, static_cast<gid_t>(-1)));
    const uid_t stranger = me == 65534 ? 65533 : 65534;
    EXPECT_FALSE(SyscallServer::PeerAllowed(stranger, ::getpid(), 777, static_cast<gid_t>(-1)));
    EXPECT_TRUE(SyscallServer::PeerAllowed(stranger, ::getpid(), 777, 777));
    // A stranger's claimed identity is replaced by its own.
    const auto c = SyscallServer::EffectiveCaller({0, 0, {0}}, stranger, ::getpid(), 777);
    EXPECT_EQ(c.uid, stranger);
    EXPECT_EQ(c.gid, 777u);
}

}  // namespace
