// The kernel layer's file calls on Linux files: dispositions and what they
// report, end-of-file rules, access and share checks, and handle lifetime.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/nt/testing.h"
#include "platform/nt/zwfile.h"
#include "tests/vdisk/vdisk_fixture.h"

namespace tarn::test {
namespace {

constexpr ULONG kFileHandleTag = 0x6C46775Au;

class ZwFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char templ[] = "/tmp/zwfile-test-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
    }
    void TearDown() override
    {
        EXPECT_EQ(NtPoolOutstanding(kFileHandleTag), 0u) << "file objects left behind";
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    NTSTATUS Create(const std::u16string& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                    ULONG options, HANDLE* handle, ULONG_PTR* information = nullptr)
    {
        UNICODE_STRING n{USHORT(name.size() * 2), USHORT(name.size() * 2), const_cast<char16_t*>(name.data())};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &n, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK io{};
        io.Information = 0xDEAD;
        NTSTATUS status = ZwCreateFile(handle, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                                       disposition, options, nullptr, 0);
        EXPECT_EQ(io.Status, status);
        if (information != nullptr) *information = io.Information;
        return status;
    }
    NTSTATUS Create(const std::filesystem::path& path, ACCESS_MASK access, ULONG share, ULONG disposition,
                    HANDLE* handle, ULONG_PTR* information = nullptr)
    {
        return Create(NtPathOf(path), access, share, disposition, FILE_NON_DIRECTORY_FILE |
                      FILE_SYNCHRONOUS_IO_NONALERT, handle, information);
    }

    std::filesystem::path dir_;
};

constexpr ACCESS_MASK kReadWrite = GENERIC_READ | GENERIC_WRITE;

TEST_F(ZwFileTest, DispositionsReportWhatTheyDid)
{
    const auto existing = dir_ / "existing";
    struct Case {
        const char* name;
        const char* file;
        ULONG disposition;
        NTSTATUS status;
        ULONG_PTR information;
        int64_t sizeAfter;  // -1: no file
    };
    const Case cases[] = {
        {"open, missing", "missing", FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND, 0, -1},
        {"overwrite, missing", "missing", FILE_OVERWRITE, STATUS_OBJECT_NAME_NOT_FOUND, 0, -1},
        {"open, existing", "existing", FILE_OPEN, STATUS_SUCCESS, FILE_OPENED, 100},
        {"open-if, existing", "existing", FILE_OPEN_IF, STATUS_SUCCESS, FILE_OPENED, 100},
        {"create, existing", "existing", FILE_CREATE, STATUS_OBJECT_NAME_COLLISION, 0, 100},
        {"create, missing", "new1", FILE_CREATE, STATUS_SUCCESS, FILE_CREATED, 0},
        {"open-if, missing", "new2", FILE_OPEN_IF, STATUS_SUCCESS, FILE_CREATED, 0},
        {"overwrite-if, existing", "existing", FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_OVERWRITTEN, 0},
        {"overwrite-if, missing", "new3", FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_CREATED, 0},
        {"bad disposition", "existing", 6, STATUS_INVALID_PARAMETER, 0, 0},
    };
    WriteFileBytes(existing, 0, std::vector<uint8_t>(100, 7));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE h = nullptr;
        ULONG_PTR information = 0;
        EXPECT_EQ(Create(dir_ / c.file, kReadWrite, 0, c.disposition, &h, &information), c.status);
        EXPECT_EQ(information, c.information);
        if (NT_SUCCESS(c.status)) ZwClose(h);
        else EXPECT_EQ(h, nullptr);
        if (c.sizeAfter < 0) EXPECT_FALSE(std::filesystem::exists(dir_ / c.file));
        else EXPECT_EQ(int64_t(std::filesystem::file_size(dir_ / c.file)), c.sizeAfter);
    }

    HANDLE h = nullptr;
    EXPECT_EQ(Create(dir_ / "nodir" / "x", kReadWrite, 0, FILE_OPEN_IF, &h), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Create(dir_, GENERIC_READ, 0, FILE_OPEN, &h), STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(Create(u"C:\\image.img", GENERIC_READ, 0, FILE_OPEN, 0, &h), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Create(u"\\??\\relative.img", GENERIC_READ, 0, FILE_OPEN, 0, &h), STATUS_OBJECT_NAME_INVALID);
}

TEST_F(ZwFileTest, ReadsStopAtTheEndOfFile)
{
    const auto path = dir_ / "f";
    WriteFileBytes(path, 0, Pattern(1000, 1));
    HANDLE h = nullptr;
    ASSERT_EQ(Create(path, kReadWrite, 0, FILE_OPEN, &h), STATUS_SUCCESS);

    std::vector<uint8_t> buffer(512, 0xEE);
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER offset;
    offset.QuadPart = 512;
    EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &io, buffer.data(), 512, &offset, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(io.Information, 488u) << "a short read gives what there is";
    offset.QuadPart = 1000;
    EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &io, buffer.data(), 512, &offset, nullptr),
              STATUS_END_OF_FILE);
    EXPECT_EQ(io.Information, 0u);
    offset.QuadPart = -1;
    EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &io, buffer.data(), 512, &offset, nullptr),
              STATUS_INVALID_PARAMETER);

    // A write past the end extends the file; the standard information says so.
    offset.QuadPart = 4096;
    EXPECT_EQ(ZwWriteFile(h, nullptr, nullptr, nullptr, &io, buffer.data(), 512, &offset, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(io.Information, 512u);
    FILE_STANDARD_INFORMATION standard{};
    ASSERT_EQ(ZwQueryInformationFile(h, &io, &standard, sizeof(standard), FileStandardInformation), STATUS_SUCCESS);
    EXPECT_EQ(standard.EndOfFile.QuadPart, 4608);
    EXPECT_EQ(io.Information, sizeof(standard));
    EXPECT_EQ(ZwQueryInformationFile(h, &io, &standard, sizeof(standard) - 1, FileStandardInformation),
              STATUS_INFO_LENGTH_MISMATCH);

    FILE_END_OF_FILE_INFORMATION end{};
    end.EndOfFile.QuadPart = 1 << 20;
    ASSERT_EQ(ZwSetInformationFile(h, &io, &end, sizeof(end), FileEndOfFileInformation), STATUS_SUCCESS);
    EXPECT_EQ(std::filesystem::file_size(path), 1u << 20);
    FILE_ALIGNMENT_INFORMATION alignment{0xFFFF};
    ASSERT_EQ(ZwQueryInformationFile(h, &io, &alignment, sizeof(alignment), FileAlignmentInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(alignment.AlignmentRequirement, ULONG(FILE_BYTE_ALIGNMENT));
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &io, buffer.data(), 512, &offset, nullptr),
              STATUS_INVALID_HANDLE);
}

TEST_F(ZwFileTest, AccessAndSharingAreEnforced)
{
    const auto path = dir_ / "shared";
    WriteFileBytes(path, 0, Pattern(4096, 2));
    HANDLE reader = nullptr;
    ASSERT_EQ(Create(path, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, &reader), STATUS_SUCCESS);

    std::vector<uint8_t> buffer(512);
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER zero{};
    EXPECT_EQ(ZwWriteFile(reader, nullptr, nullptr, nullptr, &io, buffer.data(), 512, &zero, nullptr),
              STATUS_ACCESS_DENIED);
    FILE_END_OF_FILE_INFORMATION end{};
    EXPECT_EQ(ZwSetInformationFile(reader, &io, &end, sizeof(end), FileEndOfFileInformation), STATUS_ACCESS_DENIED);
    EXPECT_EQ(std::filesystem::file_size(path), 4096u);

    HANDLE second = nullptr;
    EXPECT_EQ(Create(path, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, &second), STATUS_SUCCESS);
    ZwClose(second);
    // A writer conflicts with the reader's sharing, and a reader that shares
    // nothing with the existing reader.
    EXPECT_EQ(Create(path, kReadWrite, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, &second),
              STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Create(path, GENERIC_READ, 0, FILE_OPEN, &second), STATUS_SHARING_VIOLATION);
    // An overwrite that loses leaves the file as it was.
    EXPECT_EQ(Create(path, kReadWrite, 0, FILE_OVERWRITE_IF, &second), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(std::filesystem::file_size(path), 4096u);
    ZwClose(reader);
    ASSERT_EQ(Create(path, kReadWrite, 0, FILE_OPEN, &second), STATUS_SUCCESS);
    ZwClose(second);
}

TEST_F(ZwFileTest, DeleteOnCloseRemovesTheFileAtTheLastClose)
{
    const auto path = dir_ / "cache";
    HANDLE h = nullptr;
    ASSERT_EQ(Create(NtPathOf(path), kReadWrite, 0, FILE_OVERWRITE_IF,
                     FILE_DELETE_ON_CLOSE | FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &h),
              STATUS_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(path));
    ZwClose(h);
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace tarn::test
