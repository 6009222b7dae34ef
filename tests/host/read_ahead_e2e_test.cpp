// Device handles that read ahead, on a running machine: whatever changes the
// volume through any handle (writes, raw writes, locks, keys, a machine that
// stops) is seen by the next read of a handle that holds a window, reads
// across the end stay what the volume answers, and large control input
// arrives intact through the shared buffer.
#include <windows.h>

#include <winioctl.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "cipher/keys.h"
#include "cipher/sector.h"
#include "machine_fixture.h"
#include "platform/win32/host_connection.h"
#include "sys/crypt_ioctl.h"

namespace {

constexpr DWORD kBlock = 64 * 1024;
constexpr uint64_t kDriveLength = 256ull << 20;

HANDLE OpenVolume() {
    return CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

bool Control(HANDLE h, DWORD code, const void* in = nullptr, DWORD inLength = 0, void* out = nullptr,
             DWORD outLength = 0) {
    DWORD ignored = 0;
    return DeviceIoControl(h, code, const_cast<void*>(in), inLength, out, outLength, &ignored, nullptr) != FALSE;
}

void Seek(HANDLE h, uint64_t offset) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    ASSERT_TRUE(SetFilePointerEx(h, to, nullptr, FILE_BEGIN));
}

// The next block at the handle's file pointer.
std::vector<uint8_t> Next(HANDLE h, DWORD length = kBlock) {
    std::vector<uint8_t> data(length);
    DWORD n = 0;
    if (!ReadFile(h, data.data(), length, &n, nullptr)) return {};
    data.resize(n);
    return data;
}

std::vector<uint8_t> Pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(i * 13 + seed + (i >> 12));
    return data;
}

bool Write(HANDLE h, uint64_t offset, const std::vector<uint8_t>& data) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    DWORD n = 0;
    return SetFilePointerEx(h, to, nullptr, FILE_BEGIN) &&
           WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n, nullptr) && n == data.size();
}

bool RawWrite(HANDLE h, uint64_t offset, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> request(8 + data.size());
    const int64_t at = static_cast<int64_t>(offset);
    std::memcpy(request.data(), &at, 8);
    std::memcpy(request.data() + 8, data.data(), data.size());
    return Control(h, IOCTL_CRYPT_RAW_WRITE, request.data(), static_cast<DWORD>(request.size()));
}

class ReadAheadTest : public MachineTest {
protected:
    std::vector<uint8_t> Stored(uint64_t offset, size_t length) {
        std::vector<uint8_t> data(length);
        const int fd = ::open(Backing("data.img").c_str(), O_RDONLY);
        const ssize_t n = ::pread(fd, data.data(), length, static_cast<off_t>(offset));
        ::close(fd);
        data.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return data;
    }
    void Store(uint64_t offset, const std::vector<uint8_t>& data) {
        const int fd = ::open(Backing("data.img").c_str(), O_WRONLY);
        ASSERT_EQ(::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)), static_cast<ssize_t>(data.size()));
        ::close(fd);
    }
};

TEST_F(ReadAheadTest, ChangesThroughAnyHandleReachAReaderHoldingAWindow) {
    const uint64_t base = 16ull << 20;
    Store(base, Pattern(8u << 20, 1));
    HANDLE reader = OpenVolume();
    HANDLE writer = OpenVolume();
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    Seek(reader, base);
    ASSERT_EQ(Next(reader), Stored(base, kBlock));
    ASSERT_EQ(Next(reader), Stored(base + kBlock, kBlock)) << "the read that fills a window";

    struct Change {
        const char* what;
        bool (*apply)(HANDLE writer, HANDLE reader, uint64_t offset, const std::vector<uint8_t>& data);
    } changes[] = {
        {"WriteFile through another handle",
         [](HANDLE w, HANDLE, uint64_t at, const std::vector<uint8_t>& d) { return Write(w, at, d); }},
        {"a raw write through another handle",
         [](HANDLE w, HANDLE, uint64_t at, const std::vector<uint8_t>& d) { return RawWrite(w, at, d); }},
        {"a locked write through another handle",
         [](HANDLE w, HANDLE, uint64_t at, const std::vector<uint8_t>& d) {
             return Control(w, FSCTL_LOCK_VOLUME) && Write(w, at, d) && Control(w, FSCTL_UNLOCK_VOLUME);
         }},
        {"a raw write through the reader itself",
         [](HANDLE, HANDLE r, uint64_t at, const std::vector<uint8_t>& d) {
             // The reader's own file pointer stays where it was.
             std::vector<uint8_t> request(8 + d.size());
             const int64_t offset = static_cast<int64_t>(at);
             std::memcpy(request.data(), &offset, 8);
             std::memcpy(request.data() + 8, d.data(), d.size());
             return Control(r, IOCTL_CRYPT_RAW_WRITE, request.data(), static_cast<DWORD>(request.size()));
         }},
    };
    uint64_t position = base + 2 * kBlock;
    uint8_t seed = 40;
    for (const auto& change : changes) {
        // The reader holds the next bytes in its window; they change under it.
        ASSERT_EQ(Next(reader), Stored(position, kBlock)) << change.what;
        position += kBlock;
        const auto fresh = Pattern(kBlock, seed++);
        ASSERT_TRUE(change.apply(writer, reader, position, fresh)) << change.what << ": " << GetLastError();
        EXPECT_EQ(Next(reader), fresh) << change.what;
        position += kBlock;
        EXPECT_EQ(Next(reader), Stored(position, kBlock)) << change.what << ": and after it";
        position += kBlock;
    }
    CloseHandle(writer);
    CloseHandle(reader);
}

// Long scans reach full-size windows, where the machine reads the next window
// while the reader copies from the current one. A write landing in the window
// coming next, made between any two reads of the scan (by another handle or
// by the reader itself), is seen.
TEST_F(ReadAheadTest, LongScansSeeWritesLandingInTheWindowComingNext) {
    const uint64_t base = 96ull << 20;
    const size_t span = 12u << 20;
    Store(base, Pattern(span, 21));
    std::vector<uint8_t> mirror = Stored(base, span);
    HANDLE reader = OpenVolume();
    HANDLE writer = OpenVolume();
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    const size_t blocks = span / kBlock, ahead = 8;
    uint8_t seed = 100;
    // Every point of a scan from its start to past where full windows begin,
    // so some write falls between the last read of a window and the first of
    // the one read ahead for it.
    for (size_t writeAfter = 56; writeAfter < 136 && writeAfter + ahead < blocks; ++writeAfter) {
        const bool own = writeAfter % 20 == 0;
        Seek(reader, base);
        size_t mismatches = 0;
        for (size_t i = 0; i < writeAfter + 2 * ahead && i < blocks; ++i) {
            const auto block = Next(reader);
            if (block.size() != kBlock || std::memcmp(block.data(), mirror.data() + i * kBlock, kBlock) != 0) {
                ++mismatches;
            }
            if (i + 1 != writeAfter) continue;
            const auto fresh = Pattern(kBlock, seed++);
            ASSERT_TRUE(Write(own ? reader : writer, base + (i + ahead) * kBlock, fresh)) << writeAfter;
            std::memcpy(mirror.data() + (i + ahead) * kBlock, fresh.data(), kBlock);
            if (own) Seek(reader, base + (i + 1) * kBlock);
        }
        EXPECT_EQ(mismatches, 0u) << "write after block " << writeAfter << (own ? " by the reader" : "");
    }
    CloseHandle(writer);
    CloseHandle(reader);
}

TEST_F(ReadAheadTest, AKeyLoadedBetweenReadsIsSeenByTheNextRead) {
    const uint64_t base = 32ull << 20;
    Store(base, Pattern(4u << 20, 9));
    HANDLE reader = OpenVolume();
    HANDLE other = OpenVolume();
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    Seek(reader, base);
    ASSERT_EQ(Next(reader), Stored(base, kBlock));
    ASSERT_EQ(Next(reader), Stored(base + kBlock, kBlock));

    // The marker on unit 0, the key loaded, the volume remounted: reads are
    // decrypted from now on.
    std::vector<uint8_t> unit0(512);
    DWORD n = 0;
    Seek(other, 0);
    ASSERT_TRUE(ReadFile(other, unit0.data(), 512, &n, nullptr));
    SectorKeys keys("read ahead");
    unit0[510] = kMarker0;
    unit0[511] = kMarker1;
    EncryptSectorZero(&keys.User, &keys.Fixed, unit0.data());
    ASSERT_TRUE(RawWrite(other, 0, unit0)) << GetLastError();
    uint8_t key[kKeyBufferSize] = {};
    BuildKeyBuffer("read ahead", key);
    ASSERT_TRUE(Control(other, FSCTL_LOCK_VOLUME));
    ASSERT_TRUE(Control(other, IOCTL_CRYPT_SET_KEY, key, 32));
    ASSERT_TRUE(Control(other, FSCTL_UNLOCK_VOLUME));
    ASSERT_TRUE(Control(other, FSCTL_DISMOUNT_VOLUME));

    std::vector<uint8_t> expected = Stored(base + 2 * kBlock, kBlock);
    DecryptTransfer(&keys.User, &keys.Fixed, base + 2 * kBlock, expected.data(), kBlock);
    ASSERT_NE(expected, Stored(base + 2 * kBlock, kBlock));
    EXPECT_EQ(Next(reader), expected) << "decrypted, not the window's stored bytes";
    CloseHandle(other);
    CloseHandle(reader);
}

TEST_F(ReadAheadTest, SequentialReadsAcrossTheEndMatchWhatTheVolumeHolds) {
    // Starts half a block off the block grid, so the last read crosses the end.
    const uint64_t start = kDriveLength - (6u << 20) - kBlock / 2;
    Store(start, Pattern(kDriveLength - start, 3));
    HANDLE h = OpenVolume();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Seek(h, start);
    std::vector<uint8_t> all;
    std::vector<size_t> lengths;
    for (int i = 0; i < 200; ++i) {
        const auto block = Next(h);
        lengths.push_back(block.size());
        if (block.empty()) break;
        all.insert(all.end(), block.begin(), block.end());
    }
    EXPECT_EQ(all, Stored(start, kDriveLength - start));
    ASSERT_GE(lengths.size(), 2u);
    EXPECT_EQ(lengths[lengths.size() - 2], kBlock / 2) << "the read across the end is cut there";
    EXPECT_EQ(lengths.back(), 0u) << "the read at the end reads nothing";
    EXPECT_TRUE(Next(h).empty()) << "and so does the next";
    CloseHandle(h);
}

TEST_F(ReadAheadTest, AReaderDoesNotOutliveTheMachineOnItsWindow) {
    Store(8u << 20, Pattern(2u << 20, 5));
    HANDLE h = OpenVolume();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Seek(h, 8u << 20);
    ASSERT_FALSE(Next(h).empty());
    ASSERT_FALSE(Next(h).empty());
    StopHost();
    std::vector<uint8_t> data(kBlock);
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(h, data.data(), kBlock, &n, nullptr)) << "served from a window of a machine that is gone";
    CloseHandle(h);
}

TEST_F(ReadAheadTest, LargeControlInputArrivesIntactAndOversizedInputIsRefused) {
    HANDLE h = OpenVolume();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    struct Case {
        size_t data;  // bytes after the 8-byte offset
        bool accepted;
    } cases[] = {
        {512, true},                  // inline
        {4096 - 8, false},            // inline, not whole units: the filter refuses it
        {4096, true},                 // just past the inline limit
        {65536, true},                // one conversion chunk
        {65536 + 512, false},         // more than a raw write takes
        {(4u << 20) + 512, false},    // more than the shared buffer: inline again
    };
    uint64_t offset = 48ull << 20;
    uint8_t seed = 60;
    for (const auto& c : cases) {
        const auto before = Stored(offset, c.data);
        const auto data = Pattern(c.data, seed++);
        EXPECT_EQ(RawWrite(h, offset, data), c.accepted) << c.data << " bytes";
        if (!c.accepted) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.data;
        }
        EXPECT_EQ(Stored(offset, c.data), c.accepted ? data : before) << c.data << " bytes";
        offset += 8u << 20;
    }
    CloseHandle(h);
}

TEST_F(ReadAheadTest, ControlRequestsFromAnotherThreadDoNotMixWithReads) {
    const uint64_t base = 64ull << 20;
    Store(base, Pattern(4u << 20, 11));
    const auto stored = Stored(base, 4u << 20);
    HANDLE h = OpenVolume();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::atomic<int> badReads{0}, badControls{0};
    std::thread reader([&] {
        for (int round = 0; round < 8; ++round) {
            LARGE_INTEGER to;
            to.QuadPart = static_cast<LONGLONG>(base);
            SetFilePointerEx(h, to, nullptr, FILE_BEGIN);
            for (size_t at = 0; at < stored.size(); at += kBlock) {
                const auto block = Next(h);
                if (block.size() != kBlock || std::memcmp(block.data(), stored.data() + at, kBlock) != 0) ++badReads;
            }
        }
    });
    std::thread controller([&] {
        for (int i = 0; i < 400; ++i) {
            GET_LENGTH_INFORMATION length{};
            if (!Control(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length) ||
                static_cast<uint64_t>(length.Length.QuadPart) != kDriveLength) {
                ++badControls;
            }
        }
    });
    reader.join();
    controller.join();
    EXPECT_EQ(badReads.load(), 0);
    EXPECT_EQ(badControls.load(), 0);
    CloseHandle(h);
}

// The protocol under the handles: requests a client gets wrong are refused,
// and the generation a read-ahead read reports moves with every write.
TEST_F(ReadAheadTest, SharedControlAndGenerationRequestsAreChecked) {
    using tarn::win32::HostConnection;
    using tarn::win32::HostReply;
    namespace wire = tarn::wire;
    auto body = [](wire::Writer& w) {
        auto& f = w.Finish();
        return std::vector<uint8_t>(f.begin() + 4, f.end());
    };
    auto open = [&](HostConnection& c) {
        wire::Writer w;
        w.Str("\\\\.\\E:");
        w.U32(GENERIC_READ | GENERIC_WRITE);
        w.U32(FILE_SHARE_READ | FILE_SHARE_WRITE);
        HostReply reply;
        EXPECT_EQ(c.Call(wire::Op::Open, body(w), reply), 0u);
        EXPECT_EQ(reply.status, 0u);
        return static_cast<uint32_t>(reply.information);
    };
    auto sharedControl = [&](HostConnection& c, uint32_t handle, uint32_t inLength) {
        wire::Writer w;
        w.U32(handle);
        w.U32(IOCTL_DISK_GET_LENGTH_INFO);
        w.U32(8);
        w.U32(inLength);
        HostReply reply;
        EXPECT_EQ(c.Call(wire::Op::DeviceControlShared, body(w), reply), 0u);
        return reply.status;
    };
    constexpr uint32_t kInvalidParameter = 0xC000000D, kInvalidHandle = 0xC0000008;
    DWORD error = 0;
    auto plain = HostConnection::Open(0, error);
    ASSERT_TRUE(plain) << error;
    EXPECT_EQ(sharedControl(*plain, open(*plain), 16), kInvalidParameter) << "no shared buffer";

    auto c = HostConnection::Open(64 * 1024, error);
    ASSERT_TRUE(c) << error;
    const uint32_t handle = open(*c);
    EXPECT_EQ(sharedControl(*c, handle, 64 * 1024 + 1), kInvalidParameter) << "more than the shared buffer";
    EXPECT_EQ(sharedControl(*c, handle, 0), 0u);

    HostReply reply;
    wire::Writer bad;
    bad.U32(handle + 400);
    int fd = -1;
    ASSERT_EQ(c->Call(wire::Op::MapGenerations, body(bad), reply, &fd), 0u);
    EXPECT_EQ(reply.status, kInvalidHandle);
    EXPECT_EQ(fd, -1);
    ASSERT_EQ(c->Call(wire::Op::MapGenerations, {}, reply, &fd), 0u);
    EXPECT_EQ(reply.status, kInvalidParameter) << "truncated";

    wire::Writer map;
    map.U32(handle);
    ASSERT_EQ(c->Call(wire::Op::MapGenerations, body(map), reply, &fd), 0u);
    ASSERT_EQ(reply.status, 0u);
    ASSERT_GE(fd, 0);
    const uint32_t slot = static_cast<uint32_t>(reply.information);
    ASSERT_LT(slot, wire::kGenerationSlots);
    void* page = ::mmap(nullptr, wire::kGenerationPageSize, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    ASSERT_NE(page, MAP_FAILED);
    EXPECT_EQ(::mmap(nullptr, wire::kGenerationPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0), MAP_FAILED)
        << "the descriptor is closed";
    const auto* generations = static_cast<const volatile uint64_t*>(page);

    auto readAhead = [&](uint64_t& generation) {
        wire::Writer w;
        w.U32(handle);
        w.U64(1u << 20);
        w.U32(64 * 1024);
        w.U32(wire::kDataInShared | wire::kReadAhead);
        HostReply r;
        EXPECT_EQ(c->Call(wire::Op::Read, body(w), r), 0u);
        wire::Reader rd(r.payload.data(), r.payload.size());
        EXPECT_TRUE(rd.U64(generation));
        return r.status;
    };
    uint64_t first = 0, second = 0;
    ASSERT_EQ(readAhead(first), 0u);
    EXPECT_EQ(generations[slot], first);
    HANDLE other = OpenVolume();
    ASSERT_TRUE(Write(other, 1u << 20, Pattern(4096, 1)));
    EXPECT_GT(generations[slot], first) << "a write moves the generation";
    ASSERT_EQ(readAhead(second), 0u);
    EXPECT_GT(second, first);

    // Prefetching reads: at most half the buffer; the next window comes from the other half.
    auto prefetching = [&](uint64_t offset, uint32_t length, uint32_t& at) {
        wire::Writer w;
        w.U32(handle);
        w.U64(offset);
        w.U32(length);
        w.U32(wire::kDataInShared | wire::kReadAhead | wire::kPrefetchNext);
        HostReply r;
        EXPECT_EQ(c->Call(wire::Op::Read, body(w), r), 0u);
        wire::Reader rd(r.payload.data(), r.payload.size());
        uint64_t generation = 0;
        at = UINT32_MAX;
        if (r.status == 0) {
            EXPECT_TRUE(rd.U64(generation) && rd.U32(at));
            EXPECT_EQ(r.information, length);
        }
        return r.status;
    };
    uint32_t at = 0;
    EXPECT_EQ(prefetching(2u << 20, 64 * 1024, at), kInvalidParameter) << "more than half the buffer";
    ASSERT_EQ(prefetching(2u << 20, 32 * 1024, at), 0u);
    EXPECT_EQ(at, 0u);
    ASSERT_EQ(prefetching((2u << 20) + 32 * 1024, 32 * 1024, at), 0u);
    EXPECT_EQ(at, 32u * 1024) << "the window read after the last answer";
    ASSERT_EQ(prefetching((2u << 20) + 64 * 1024, 32 * 1024, at), 0u);
    EXPECT_EQ(at, 0u);
    CloseHandle(other);
    ::munmap(page, wire::kGenerationPageSize);
}

}  // namespace
