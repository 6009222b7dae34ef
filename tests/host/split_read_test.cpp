// Large reads are copied by two threads; the halves must land where they
// belong, and an end or a failure inside either half must be reported as a
// plain read would report it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "platform/host/volume/split_read.h"

namespace {

using tarn::host::kSplitReadMinimum;
using tarn::host::SplitPread;

class SplitRead : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/tarn-split-read-XXXXXX";
        fd_ = ::mkstemp(name);
        ASSERT_GE(fd_, 0);
        path_ = name;
        bytes_.resize(4 * kSplitReadMinimum + 4096);
        for (size_t i = 0; i < bytes_.size(); ++i) bytes_[i] = uint8_t(i * 131 + i / 4096);
        ASSERT_EQ(::pwrite(fd_, bytes_.data(), bytes_.size(), 0), ssize_t(bytes_.size()));
    }
    void TearDown() override {
        ::close(fd_);
        ::unlink(path_.c_str());
    }

    int fd_ = -1;
    std::string path_;
    std::vector<uint8_t> bytes_;
};

TEST_F(SplitRead, BothHalvesLandInPlaceAndShortFilesReadAsFarAsTheyGo) {
    const uint32_t big = 2 * kSplitReadMinimum;
    struct Case {
        const char* what;
        uint64_t offset;
        uint32_t length;
        uint32_t expected;
    } cases[] = {
        {"whole, below the split size", 512, kSplitReadMinimum - 512, kSplitReadMinimum - 512},
        {"whole, split", 4096, big, big},
        {"odd length, split", 512, big + 1536, big + 1536},
        {"file ends in the second half", bytes_.size() - big + 8192, big, big - 8192},
        {"file ends in the first half", bytes_.size() - 4096, big, 4096},
        {"starts past the end", bytes_.size() + 512, big, 0},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> out(c.length, 0xEE);
        int error = -1;
        EXPECT_EQ(SplitPread(fd_, out.data(), c.length, c.offset, &error), c.expected) << c.what;
        EXPECT_EQ(error, 0) << c.what;
        if (c.expected) {
            EXPECT_EQ(std::memcmp(out.data(), bytes_.data() + c.offset, c.expected), 0) << c.what;
        }
    }
}

TEST_F(SplitRead, FailuresAreReportedAndConcurrentReadersStayApart) {
    std::vector<uint8_t> out(2 * kSplitReadMinimum);
    int error = 0;
    EXPECT_EQ(SplitPread(-1, out.data(), uint32_t(out.size()), 0, &error), 0u);
    EXPECT_EQ(error, EBADF);

    // Readers on several threads share one helper: each must get its own bytes.
    std::vector<std::thread> readers;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&, t] {
            std::vector<uint8_t> mine(2 * kSplitReadMinimum);
            for (int round = 0; round < 50; ++round) {
                const uint64_t at = uint64_t((t * 7 + round) % 8) * 4096;
                int e = 0;
                const uint32_t got = SplitPread(fd_, mine.data(), uint32_t(mine.size()), at, &e);
                if (got != mine.size() || e != 0 || std::memcmp(mine.data(), bytes_.data() + at, got) != 0) ++wrong[t];
            }
        });
    }
    for (auto& r : readers) r.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(wrong[t], 0) << "reader " << t;
}

}  // namespace
