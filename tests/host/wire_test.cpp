#include "platform/host/wire/wire.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

using namespace tarn::wire;

TEST(Wire, TruncatedRequestFailsAtEveryCutInsteadOfReadingPastTheEnd) {
    Writer w;
    WriteRequestHeader(w, Op::Open, Credentials{1000, 100, {4, 27}});
    w.Str("\\\\.\\E:");
    w.U32(0xC0000000);
    w.U32(3);
    auto& frame = w.Finish();
    const size_t body = frame.size() - 4;
    for (size_t cut = 0; cut < body; ++cut) {
        Reader r(frame.data() + 4, cut);
        uint32_t op;
        Credentials c;
        std::string path;
        uint32_t access, share;
        const bool whole = ReadRequestHeader(r, op, c) && r.Str(path) && r.U32(access) && r.U32(share);
        EXPECT_FALSE(whole) << "cut " << cut;
        EXPECT_TRUE(r.Failed()) << "cut " << cut;
    }
    Reader r(frame.data() + 4, body);
    uint32_t op;
    Credentials c;
    std::string path;
    ASSERT_TRUE(ReadRequestHeader(r, op, c) && r.Str(path));
    EXPECT_EQ(op, static_cast<uint32_t>(Op::Open));
    EXPECT_EQ(c.groups, (std::vector<uint32_t>{4, 27}));
    EXPECT_EQ(path, "\\\\.\\E:");
}

TEST(Wire, HostileLengthsAreRefused) {
    // A group count beyond the limit, a string longer than its bound, a string
    // with an embedded NUL.
    Writer a;
    a.U32(2); a.U32(0); a.U32(0); a.U32(kMaxGroups + 1);
    auto& fa = a.Finish();
    Reader ra(fa.data() + 4, fa.size() - 4);
    uint32_t op;
    Credentials c;
    EXPECT_FALSE(ReadRequestHeader(ra, op, c));

    Writer b;
    b.U32(0xFFFFFFFF);
    auto& fb = b.Finish();
    Reader rb(fb.data() + 4, fb.size() - 4);
    std::string s;
    EXPECT_FALSE(rb.Str(s));

    Writer d;
    d.Str(std::string("E:\0x", 4));
    auto& fd = d.Finish();
    Reader rd(fd.data() + 4, fd.size() - 4);
    EXPECT_FALSE(rd.Str(s));
}

TEST(Wire, FramesCarryOneDescriptorAndOversizedFramesAreDropped) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Writer w;
    w.U32(42);
    int pipefd[2];
    ASSERT_EQ(::pipe(pipefd), 0);
    ASSERT_TRUE(SendFrame(sv[0], w.Finish(), pipefd[0]));
    std::vector<uint8_t> body;
    int got = -1;
    ASSERT_TRUE(RecvFrame(sv[1], body, &got));
    ASSERT_GE(got, 0);
    ASSERT_EQ(::write(pipefd[1], "x", 1), 1);
    char ch = 0;
    EXPECT_EQ(::read(got, &ch, 1), 1);
    EXPECT_EQ(ch, 'x');
    ::close(got);

    Writer big;
    big.Bytes(std::vector<uint8_t>(100, 1).data(), 100);
    ASSERT_TRUE(SendFrame(sv[0], big.Finish()));
    EXPECT_FALSE(RecvFrame(sv[1], body, nullptr, 50));
    for (int fd : {sv[0], sv[1], pipefd[0], pipefd[1]}) ::close(fd);
}
