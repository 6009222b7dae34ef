// The rules that keep a read served from a device handle's read-ahead window
// identical to the request it replaces.
#include <gtest/gtest.h>

#include "platform/win32/read_ahead.h"

namespace {

using tarn::win32::ReadAheadWindow;
constexpr uint64_t K = 1024;
constexpr uint64_t kLimit = 4096 * K;

// A window of 256 KiB at 64 KiB, filled after two sequential 64 KiB reads.
ReadAheadWindow FilledAt64K(uint64_t generation = 7) {
    ReadAheadWindow w;
    w.NoteRead(0, 64 * K);
    w.Filled(64 * K, 256 * K, generation);
    return w;
}

TEST(ReadAheadWindow, FillsOnlyWhenAReadContinuesTheLastOneWithWholeBlocks) {
    struct Case {
        const char* what;
        uint64_t lastOffset, lastDone;  // the previous read (done 0: none)
        bool invalidated;               // a write or control came between
        uint64_t offset, length;
        bool fills;
    } cases[] = {
        {"first read of a handle", 0, 0, false, 0, 64 * K, false},
        {"continues the last read", 0, 64 * K, false, 64 * K, 64 * K, true},
        {"jumps ahead", 0, 64 * K, false, 128 * K, 64 * K, false},
        {"reads the same again", 0, 64 * K, false, 0, 64 * K, false},
        {"a write came between", 0, 64 * K, true, 64 * K, 64 * K, false},
        {"sector-sized, not whole blocks", 0, 512, false, 512, 512, false},
        {"length not whole blocks", 0, 64 * K, false, 64 * K, 64 * K + 512, false},
        {"too large to fit twice", 0, 64 * K, false, 64 * K, 256 * K, false},
        {"small whole blocks", 0, 4 * K, false, 4 * K, 4 * K, true},
    };
    for (const auto& c : cases) {
        ReadAheadWindow w;
        if (c.lastDone) w.NoteRead(c.lastOffset, c.lastDone);
        if (c.invalidated) w.Invalidate();
        EXPECT_EQ(w.FillSize(c.offset, c.length, kLimit) != 0, c.fills) << c.what;
    }
}

TEST(ReadAheadWindow, ServesEachByteOnceInOrderAndOnlyInside) {
    ReadAheadWindow w = FilledAt64K();
    EXPECT_FALSE(w.Take(128 * K, 64 * K, 7)) << "skipping ahead in the window";
    EXPECT_FALSE(w.Take(64 * K, 64 * K + 512, 7)) << "not whole blocks";
    auto at = w.Take(64 * K, 64 * K, 7);
    ASSERT_TRUE(at);
    EXPECT_EQ(*at, 0u);
    EXPECT_FALSE(w.Take(64 * K, 64 * K, 7)) << "the same bytes twice";
    at = w.Take(128 * K, 128 * K, 7);
    ASSERT_TRUE(at);
    EXPECT_EQ(*at, 64 * K);
    EXPECT_FALSE(w.Take(256 * K, 128 * K, 7)) << "crossing the window's end";
    at = w.Take(256 * K, 64 * K, 7);
    ASSERT_TRUE(at);
    EXPECT_EQ(*at, 192 * K);
    EXPECT_FALSE(w.Valid()) << "used up";
    EXPECT_FALSE(w.Take(320 * K, 4 * K, 7)) << "past the window";
}

TEST(ReadAheadWindow, AChangedGenerationOrAnotherUseOfTheBufferDropsTheWindow) {
    ReadAheadWindow changed = FilledAt64K(7);
    EXPECT_FALSE(changed.Take(64 * K, 64 * K, 8));
    EXPECT_FALSE(changed.Take(64 * K, 64 * K, 7)) << "stale for good once seen stale";

    ReadAheadWindow written = FilledAt64K();
    written.Invalidate();
    EXPECT_FALSE(written.Take(64 * K, 64 * K, 7));
    EXPECT_EQ(written.FillSize(64 * K, 64 * K, kLimit), 0u) << "a write breaks the sequence";

    // A read that went to the host used the shared buffer over the window,
    // but still counts for the sequence.
    ReadAheadWindow reread = FilledAt64K();
    reread.NoteRead(0, 64 * K);
    EXPECT_FALSE(reread.Take(64 * K, 64 * K, 7));
    EXPECT_NE(reread.FillSize(64 * K, 64 * K, kLimit), 0u);

    // Nothing returned (an error, the end): no window.
    ReadAheadWindow empty;
    empty.Filled(64 * K, 0, 7);
    EXPECT_FALSE(empty.Take(64 * K, 4 * K, 7));
}

TEST(ReadAheadWindow, WindowsGrowWhileUsedUpAndStartSmallAgainAfterABreak) {
    ReadAheadWindow w;
    w.NoteRead(0, 64 * K);
    uint64_t offset = 64 * K;
    std::vector<uint64_t> sizes;
    for (int i = 0; i < 7; ++i) {
        const uint64_t size = w.FillSize(offset, 64 * K, kLimit);
        ASSERT_NE(size, 0u);
        sizes.push_back(size);
        w.Filled(offset, size, 1);
        for (uint64_t at = offset; at < offset + size; at += 64 * K) ASSERT_TRUE(w.Take(at, 64 * K, 1));
        offset += size;
    }
    EXPECT_EQ(sizes, (std::vector<uint64_t>{256 * K, 512 * K, 1024 * K, 2048 * K, 4096 * K, 4096 * K, 4096 * K}));
    // A limit that is not whole blocks is cut to them.
    EXPECT_EQ(w.FillSize(offset, 64 * K, kLimit + 100), kLimit);

    w.Invalidate();
    w.NoteRead(offset, 64 * K);
    EXPECT_EQ(w.FillSize(offset + 64 * K, 64 * K, kLimit), 256 * K);
    // A short window (the end of the medium) does not grow the next one past double.
    ReadAheadWindow shortWindow;
    shortWindow.NoteRead(0, 64 * K);
    shortWindow.Filled(64 * K, 128 * K, 1);
    ASSERT_TRUE(shortWindow.Take(64 * K, 64 * K, 1));
    ASSERT_TRUE(shortWindow.Take(128 * K, 64 * K, 1));
    EXPECT_EQ(shortWindow.FillSize(192 * K, 64 * K, kLimit), 256 * K);
}

}  // namespace
