#include <windows.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/win32/handle_table.h"
#include "platform/win32/nt_path.h"
#include "test_support.h"

namespace {

class Files : public TempDirTest {
 protected:
  void WriteText(const std::string& name, const std::string& text) { std::ofstream(Path(name)) << text; }
  std::string ReadText(const std::string& name) {
    std::ifstream in(Path(name));
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

struct DispositionCase {
  const char* what;
  DWORD disposition;
  bool exists;
  bool succeeds;
  DWORD lastError;
  const char* contentAfter;  // nullptr: no file afterwards
};

TEST_F(Files, DispositionsSetTheWindowsLastErrors) {
  const DispositionCase cases[] = {
      {"create new over nothing", CREATE_NEW, false, true, 0, ""},
      {"create new over a file", CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
      {"create always over nothing", CREATE_ALWAYS, false, true, 0, ""},
      {"create always over a file", CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
      {"open existing over nothing", OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
      {"open existing over a file", OPEN_EXISTING, true, true, 0, "old"},
      {"open always over nothing", OPEN_ALWAYS, false, true, 0, ""},
      {"open always over a file", OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
      {"truncate existing over nothing", TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
      {"truncate existing over a file", TRUNCATE_EXISTING, true, true, 0, ""},
  };
  for (const auto& c : cases) {
    std::string name = "f";
    unlink(Path(name).c_str());
    if (c.exists) WriteText(name, "old");
    SetLastError(12345);
    HANDLE h = CreateFileA(Path(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, c.disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.succeeds) << c.what;
    EXPECT_EQ(GetLastError(), c.lastError) << c.what;
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    struct stat st;
    bool present = stat(Path(name).c_str(), &st) == 0;
    EXPECT_EQ(present, c.contentAfter != nullptr) << c.what;
    if (present && c.contentAfter) {
      EXPECT_EQ(ReadText(name), c.contentAfter) << c.what;
    }
  }
}

TEST_F(Files, OpenFailuresNameTheMissingPartAndRefuseDirectories) {
  HANDLE h = CreateFileA(Path("missing/f").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
  h = CreateFileA(dir_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  h = CreateFileA("", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
  h = CreateFileA(Path("f").c_str(), GENERIC_READ, 0, nullptr, 9, 0, nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  // Truncating needs write access.
  WriteText("f", "keep");
  h = CreateFileA(Path("f").c_str(), GENERIC_READ, 0, nullptr, TRUNCATE_EXISTING, 0, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(ReadText("f"), "keep");
}

TEST_F(Files, DevicePathsAreNotFoundUntilTheMachineAnswers) {
  HANDLE h = CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(Files, ReadAtTheEndIsShortAndThenEmpty) {
  WriteText("f", "0123456789");
  HANDLE h = CreateFileA(Path("f").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char buffer[8];
  DWORD done = 99;
  ASSERT_TRUE(ReadFile(h, buffer, 8, &done, nullptr));
  EXPECT_EQ(done, 8u);
  ASSERT_TRUE(ReadFile(h, buffer, 8, &done, nullptr));
  EXPECT_EQ(done, 2u);
  EXPECT_EQ(std::string(buffer, 2), "89");
  ASSERT_TRUE(ReadFile(h, buffer, 8, &done, nullptr));
  EXPECT_EQ(done, 0u);
  // A positioned read starting at the end says so.
  OVERLAPPED at = {};
  at.Offset = 10;
  EXPECT_FALSE(ReadFile(h, buffer, 8, &done, &at));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_HANDLE_EOF));
  at.Offset = 4;
  ASSERT_TRUE(ReadFile(h, buffer, 3, &done, &at));
  EXPECT_EQ(std::string(buffer, 3), "456");
  // Writing through a read-only handle is refused.
  EXPECT_FALSE(WriteFile(h, "x", 1, &done, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  CloseHandle(h);
}

TEST_F(Files, FilePointerSizeAndEndOfFileAgree) {
  HANDLE h = CreateFileA(Path("f").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD done;
  ASSERT_TRUE(WriteFile(h, "abcdef", 6, &done, nullptr));
  LARGE_INTEGER distance, position, size;
  distance.QuadPart = -2;
  ASSERT_TRUE(SetFilePointerEx(h, distance, &position, FILE_END));
  EXPECT_EQ(position.QuadPart, 4);
  ASSERT_TRUE(SetEndOfFile(h));
  ASSERT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(size.QuadPart, 4);

  // Beyond the end: the file grows sparse when written there.
  distance.QuadPart = 5LL << 30;
  ASSERT_TRUE(SetFilePointerEx(h, distance, nullptr, FILE_BEGIN));
  ASSERT_TRUE(WriteFile(h, "z", 1, &done, nullptr));
  ASSERT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(size.QuadPart, (5LL << 30) + 1);
  struct stat st;
  ASSERT_EQ(stat(Path("f").c_str(), &st), 0);
  EXPECT_LT(st.st_blocks * 512, 1 << 20);

  // Before the start is refused and leaves the pointer where it was.
  distance.QuadPart = -1;
  EXPECT_FALSE(SetFilePointerEx(h, distance, nullptr, FILE_BEGIN));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
  distance.QuadPart = 0;
  ASSERT_TRUE(SetFilePointerEx(h, distance, &position, FILE_CURRENT));
  EXPECT_EQ(position.QuadPart, (5LL << 30) + 1);

  // The 32-bit form: a position it cannot express fails; with the high part it works.
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  LONG high = 1;
  EXPECT_EQ(SetFilePointer(h, 16, &high, FILE_BEGIN), 16u);
  EXPECT_EQ(high, 1);
  high = 0;
  EXPECT_EQ(SetFilePointer(h, -1, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);  // 0xFFFFFFFF is a position
  EXPECT_EQ(GetLastError(), 0u);
  CloseHandle(h);
}

TEST_F(Files, UnbufferedTransfersMustBeWholeAlignedSectors) {
  HANDLE h = CreateFileA(Path("f").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_FLAG_NO_BUFFERING | FILE_FLAG_RANDOM_ACCESS | FILE_FLAG_WRITE_THROUGH, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  void* raw = std::aligned_alloc(4096, 8192);
  auto* sector = static_cast<char*>(raw);
  std::memset(sector, 'S', 8192);
  DWORD done;
  ASSERT_TRUE(WriteFile(h, sector, 1024, &done, nullptr));
  EXPECT_EQ(done, 1024u);
  EXPECT_FALSE(WriteFile(h, sector, 100, &done, nullptr));  // part of a sector
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(WriteFile(h, sector + 1, 512, &done, nullptr));  // unaligned buffer
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  ASSERT_NE(SetFilePointer(h, 3, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_FALSE(ReadFile(h, sector, 512, &done, nullptr));  // unaligned offset
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  ASSERT_EQ(SetFilePointer(h, 512, nullptr, FILE_BEGIN), 512u);
  std::memset(sector, 0, 8192);
  ASSERT_TRUE(ReadFile(h, sector, 4096, &done, nullptr));
  EXPECT_EQ(done, 512u);  // the rest is beyond the end
  EXPECT_EQ(sector[511], 'S');
  EXPECT_TRUE(FlushFileBuffers(h));
  CloseHandle(h);
  std::free(raw);
}

TEST_F(Files, ControlCodesOnFiles) {
  HANDLE h = CreateFileA(Path("f").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD returned = 7;
  EXPECT_TRUE(DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(returned, 0u);
  GET_LENGTH_INFORMATION length;
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &returned, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
  CloseHandle(h);
}

TEST_F(Files, DeleteOnCloseRemovesOnlyTheFileItOpened) {
  HANDLE h = CreateFileA(Path("f").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                         FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_NE(GetFileAttributesA(Path("f").c_str()), INVALID_FILE_ATTRIBUTES);
  CloseHandle(h);
  EXPECT_EQ(GetFileAttributesA(Path("f").c_str()), INVALID_FILE_ATTRIBUTES);

  h = CreateFileA(Path("g").c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE,
                  nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_EQ(rename(Path("g").c_str(), Path("moved").c_str()), 0);
  WriteText("g", "a newer file under the old name");
  CloseHandle(h);
  EXPECT_EQ(ReadText("g"), "a newer file under the old name");
}

TEST_F(Files, NamesAttributesAndDeletion) {
  WriteText("f", "x");
  EXPECT_EQ(GetFileAttributesA(dir_.c_str()), DWORD(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(GetFileAttributesA(Path("f").c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_EQ(GetFileAttributesA(Path("nothing").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  // NT form names the same file.
  std::string nt = tarn::win32::ToNtPath(Path("f"));
  EXPECT_EQ(nt, "\\??\\" + Path("f"));
  EXPECT_EQ(tarn::win32::FromNtPath(nt).value(), Path("f"));
  EXPECT_FALSE(tarn::win32::FromNtPath(Path("f")).has_value());
  HANDLE h = CreateFileA(nt.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);

  EXPECT_FALSE(DeleteFileA(dir_.c_str()));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  WriteText("ro", "x");
  chmod(Path("ro").c_str(), 0444);
  EXPECT_EQ(GetFileAttributesA(Path("ro").c_str()) & FILE_ATTRIBUTE_READONLY, DWORD(FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(DeleteFileA(Path("ro").c_str()));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(DeleteFileA(Path("f").c_str()));
  EXPECT_FALSE(DeleteFileA(Path("f").c_str()));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));

  char full[MAX_PATH];
  char* part = nullptr;
  std::string relative = Path("a/../b/./c");
  DWORD n = GetFullPathNameA(relative.c_str(), sizeof full, full, &part);
  EXPECT_EQ(std::string(full, n), Path("b/c"));
  EXPECT_STREQ(part, "c");
  EXPECT_EQ(GetFullPathNameA(relative.c_str(), 4, full, nullptr), Path("b/c").size() + 1);
}

TEST_F(Files, ClosingEveryHandleLeavesNoObjectBehind) {
  size_t before = tarn::win32::HandleCount();
  for (int i = 0; i < 20; ++i) {
    HANDLE h = CreateFileA(Path("f").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
  }
  EXPECT_EQ(tarn::win32::HandleCount(), before);
}

}  // namespace
