// Views of image files: what the section calls refuse, that a view shows
// what writes through file handles put in the file, and that a view of a
// file cut short under it gives an error instead of killing the process.
#include <unistd.h>

#include <filesystem>

#include "platform/nt/section.h"
#include "platform/nt/testing.h"
#include "tests/vdisk/vdisk_fixture.h"

namespace tarn::test {
namespace {

constexpr ULONG kSectionTag = 0x74636553u;
constexpr size_t kFileSize = 1 << 20;

class SectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char templ[] = "/tmp/section-test-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
        path_ = dir_ / "image";
        MakeImage(path_, kFileSize, 21);
    }
    void TearDown() override
    {
        for (HANDLE h : handles_) ZwClose(h);
        EXPECT_EQ(NtPoolOutstanding(kSectionTag), 0u) << "section objects left behind";
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    HANDLE Open(const std::filesystem::path& path, ACCESS_MASK access)
    {
        const std::u16string name = NtPathOf(path);
        UNICODE_STRING n{USHORT(name.size() * 2), USHORT(name.size() * 2), const_cast<char16_t*>(name.data())};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &n, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK io{};
        HANDLE h = nullptr;
        EXPECT_EQ(ZwCreateFile(&h, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF, FILE_NON_DIRECTORY_FILE, nullptr, 0),
                  STATUS_SUCCESS);
        if (h != nullptr) handles_.push_back(h);
        return h;
    }

    // A view of the whole file, which is then cut to 10000 bytes under it;
    // NULL when the view or the cut failed.
    const UCHAR* MapThenCutShort()
    {
        SIZE_T size = 0;
        const UCHAR* view = MapWhole(Open(path_, GENERIC_READ), &size);
        if (view != nullptr && truncate(path_.c_str(), 10000) != 0) return nullptr;
        return view;
    }

    // A whole-file view, or NULL with the status in *status.
    const UCHAR* MapWhole(HANDLE file, SIZE_T* size, NTSTATUS* status = nullptr)
    {
        HANDLE section = nullptr;
        NTSTATUS s = ZwCreateSection(&section, SECTION_MAP_READ, nullptr, nullptr, PAGE_READONLY, SEC_COMMIT, file);
        PVOID view = nullptr;
        *size = 0;
        if (NT_SUCCESS(s)) {
            s = ZwMapViewOfSection(section, ZwCurrentProcess(), &view, 0, 0, nullptr, size, ViewUnmap, 0,
                                   PAGE_READONLY);
            ZwClose(section);
        }
        if (status != nullptr) *status = s;
        return static_cast<const UCHAR*>(view);
    }

    std::filesystem::path dir_;
    std::filesystem::path path_;
    std::vector<HANDLE> handles_;
};

TEST_F(SectionTest, SectionCallsRefuseWhatTheyCannotMap)
{
    HANDLE file = Open(path_, GENERIC_READ);
    HANDLE writeOnly = Open(path_, GENERIC_WRITE);
    HANDLE empty = Open(dir_ / "empty", GENERIC_READ | GENERIC_WRITE);
    LARGE_INTEGER tooBig;
    tooBig.QuadPart = kFileSize + 1;
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\BaseNamedObjects\\view");
    OBJECT_ATTRIBUTES named;
    InitializeObjectAttributes(&named, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);

    struct Case {
        const char* what;
        HANDLE file;
        ULONG protection;
        ULONG attributes;
        PLARGE_INTEGER size;
        POBJECT_ATTRIBUTES objectAttributes;
        NTSTATUS expected;
    } cases[] = {
        {"writable view", file, PAGE_READWRITE, SEC_COMMIT, nullptr, nullptr, STATUS_INVALID_PAGE_PROTECTION},
        {"no attributes", file, PAGE_READONLY, 0, nullptr, nullptr, STATUS_INVALID_PARAMETER},
        {"paging file", nullptr, PAGE_READONLY, SEC_COMMIT, nullptr, nullptr, STATUS_INVALID_PARAMETER},
        {"named", file, PAGE_READONLY, SEC_COMMIT, nullptr, &named, STATUS_INVALID_PARAMETER},
        {"file without read access", writeOnly, PAGE_READONLY, SEC_COMMIT, nullptr, nullptr, STATUS_ACCESS_DENIED},
        {"empty file", empty, PAGE_READONLY, SEC_COMMIT, nullptr, nullptr, STATUS_MAPPED_FILE_SIZE_ZERO},
        {"larger than the file", file, PAGE_READONLY, SEC_COMMIT, &tooBig, nullptr, STATUS_SECTION_TOO_BIG},
        {"not a file handle", reinterpret_cast<HANDLE>(0x7FF0), PAGE_READONLY, SEC_COMMIT, nullptr, nullptr,
         STATUS_INVALID_HANDLE},
    };
    for (const Case& c : cases) {
        HANDLE section = reinterpret_cast<HANDLE>(1);
        EXPECT_EQ(ZwCreateSection(&section, SECTION_MAP_READ, c.objectAttributes, c.size, c.protection, c.attributes,
                                  c.file),
                  c.expected)
            << c.what;
        EXPECT_EQ(section, nullptr) << c.what;
    }

    HANDLE section = nullptr;
    ASSERT_EQ(ZwCreateSection(&section, SECTION_MAP_READ, nullptr, nullptr, PAGE_READONLY, SEC_COMMIT, file),
              STATUS_SUCCESS);
    handles_.push_back(section);
    struct MapCase {
        const char* what;
        HANDLE process;
        LONGLONG offset;
        SIZE_T size;
        ULONG protection;
        NTSTATUS expected;
    } maps[] = {
        {"another process", reinterpret_cast<HANDLE>(0x40), 0, 0, PAGE_READONLY, STATUS_INVALID_PARAMETER},
        {"writable view", ZwCurrentProcess(), 0, 0, PAGE_READWRITE, STATUS_INVALID_PAGE_PROTECTION},
        {"offset off the 64 KiB grid", ZwCurrentProcess(), 4096, 0, PAGE_READONLY, STATUS_MAPPED_ALIGNMENT},
        {"negative offset", ZwCurrentProcess(), -65536, 0, PAGE_READONLY, STATUS_MAPPED_ALIGNMENT},
        {"offset at the end", ZwCurrentProcess(), kFileSize, 0, PAGE_READONLY, STATUS_INVALID_VIEW_SIZE},
        {"past the end", ZwCurrentProcess(), 65536, kFileSize, PAGE_READONLY, STATUS_INVALID_VIEW_SIZE},
    };
    for (const MapCase& m : maps) {
        PVOID view = nullptr;
        LARGE_INTEGER offset;
        offset.QuadPart = m.offset;
        SIZE_T size = m.size;
        EXPECT_EQ(ZwMapViewOfSection(section, m.process, &view, 0, 0, &offset, &size, ViewUnmap, 0, m.protection),
                  m.expected)
            << m.what;
        EXPECT_EQ(view, nullptr) << m.what;
    }
    int local = 0;
    EXPECT_EQ(ZwUnmapViewOfSection(ZwCurrentProcess(), &local), STATUS_NOT_MAPPED_VIEW);
}

TEST_F(SectionTest, ViewShowsWhatWritesPutInTheFile)
{
    HANDLE file = Open(path_, GENERIC_READ | GENERIC_WRITE);
    SIZE_T size = 0;
    const UCHAR* view = MapWhole(file, &size);
    ASSERT_NE(view, nullptr);
    ASSERT_EQ(size, kFileSize);
    const std::vector<uint8_t> pattern = Pattern(kFileSize, 21);
    EXPECT_EQ(std::vector<uint8_t>(view, view + size), pattern);

    // A write through a handle (and one by another program) shows at once;
    // the view outlives the section handle and the file handle.
    std::vector<uint8_t> data = Pattern(5000, 22);
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER at;
    at.QuadPart = 70000;
    ASSERT_EQ(ZwWriteFile(file, nullptr, nullptr, nullptr, &io, data.data(), ULONG(data.size()), &at, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(view + 70000, view + 75000), data);
    WriteFileBytes(path_, 900000, std::vector<uint8_t>(300, 0xEE));
    for (HANDLE h : handles_) ZwClose(h);
    handles_.clear();
    EXPECT_EQ(std::vector<uint8_t>(view + 900000, view + 900300), std::vector<uint8_t>(300, 0xEE));

    // A view from a 64 KiB boundary starts there.
    HANDLE again = Open(path_, GENERIC_READ);
    HANDLE section = nullptr;
    LARGE_INTEGER half;
    half.QuadPart = kFileSize / 2;
    ASSERT_EQ(ZwCreateSection(&section, SECTION_MAP_READ, nullptr, &half, PAGE_READONLY, SEC_COMMIT, again),
              STATUS_SUCCESS);
    PVOID part = nullptr;
    LARGE_INTEGER offset;
    offset.QuadPart = 65536;
    SIZE_T partSize = 0;
    ASSERT_EQ(ZwMapViewOfSection(section, ZwCurrentProcess(), &part, 0, 0, &offset, &partSize, ViewUnmap, 0,
                                 PAGE_READONLY),
              STATUS_SUCCESS);
    ZwClose(section);
    EXPECT_EQ(partSize, kFileSize / 2 - 65536) << "to the end of the section, not of the file";
    EXPECT_EQ(std::memcmp(part, view + 65536, partSize), 0);

    EXPECT_EQ(ZwUnmapViewOfSection(ZwCurrentProcess(), part), STATUS_SUCCESS);
    EXPECT_EQ(ZwUnmapViewOfSection(ZwCurrentProcess(), const_cast<UCHAR*>(view)), STATUS_SUCCESS);
    EXPECT_EQ(ZwUnmapViewOfSection(ZwCurrentProcess(), const_cast<UCHAR*>(view)), STATUS_NOT_MAPPED_VIEW);
}

struct Touch {
    const volatile UCHAR* at;
    UCHAR seen;
    bool nested;
};

VOID TouchByte(PVOID Context)
{
    auto* touch = static_cast<Touch*>(Context);
    if (touch->nested) {
        // A fault inside a nested guard ends the inner routine only.
        Touch inner{touch->at, 0, false};
        EXPECT_EQ(NtHostGuardViewAccess(TouchByte, &inner), STATUS_IN_PAGE_ERROR);
        touch->seen = 0x77;
        return;
    }
    touch->seen = *touch->at;
}

TEST_F(SectionTest, FaultOnAViewOfAFileCutShortIsReportedNotFatal)
{
    const UCHAR* view = MapThenCutShort();
    ASSERT_NE(view, nullptr);
    const std::vector<uint8_t> pattern = Pattern(kFileSize, 21);

    // Every time, not only the first: the fault leaves nothing blocked.
    for (int round = 0; round < 3; ++round) {
        Touch gone{view + 500000, 0, false};
        EXPECT_EQ(NtHostGuardViewAccess(TouchByte, &gone), STATUS_IN_PAGE_ERROR);
        Touch kept{view + 9999, 0, false};
        EXPECT_EQ(NtHostGuardViewAccess(TouchByte, &kept), STATUS_SUCCESS);
        EXPECT_EQ(kept.seen, pattern[9999]);
        Touch zeroTail{view + 10001, 0xFF, false};
        EXPECT_EQ(NtHostGuardViewAccess(TouchByte, &zeroTail), STATUS_SUCCESS) << "same page as the end";
        EXPECT_EQ(zeroTail.seen, 0);
    }
    Touch outer{view + 700000, 0, true};
    EXPECT_EQ(NtHostGuardViewAccess(TouchByte, &outer), STATUS_SUCCESS);
    EXPECT_EQ(outer.seen, 0x77);
    EXPECT_EQ(ZwUnmapViewOfSection(ZwCurrentProcess(), const_cast<UCHAR*>(view)), STATUS_SUCCESS);
}

// The guard's handler must not swallow faults outside a guard: they end the
// process as they always did.
using SectionDeathTest = SectionTest;

TEST_F(SectionDeathTest, FaultOutsideAGuardStillEndsTheProcess)
{
    const UCHAR* view = MapThenCutShort();
    ASSERT_NE(view, nullptr);
    Touch first{view + 500000, 0, false};
    EXPECT_EQ(NtHostGuardViewAccess(TouchByte, &first), STATUS_IN_PAGE_ERROR) << "the handler is in place";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            volatile UCHAR b = view[600000];
            (void)b;
        },
        "");
    EXPECT_EQ(ZwUnmapViewOfSection(ZwCurrentProcess(), const_cast<UCHAR*>(view)), STATUS_SUCCESS);
}

}  // namespace
}  // namespace tarn::test
