#include <windows.h>

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>

#include "test_support.h"

namespace {

class Mapping : public TempDirTest {
 protected:
  HANDLE Create(const std::string& name) {
    return CreateFileA(Path(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  std::string ReadAt(const std::string& name, long offset, size_t length) {
    std::ifstream in(Path(name), std::ios::binary);
    in.seekg(offset);
    std::string out(length, '\0');
    in.read(out.data(), static_cast<std::streamsize>(length));
    return out;
  }
};

TEST_F(Mapping, ViewWritesReachTheFileAndWritesBeyondTheViewGoThroughWriteFile) {
  // The shape of image creation: a large sparse file, a 100 MiB view of its
  // start, and a sector beyond the view written with WriteFile.
  const LONGLONG size = 300LL << 20;
  const SIZE_T viewLength = 0x6400000;
  HANDLE file = Create("image");
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD returned;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
  LARGE_INTEGER end;
  end.QuadPart = size;
  ASSERT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(file));
  HANDLE section = CreateFileMappingA(file, nullptr, PAGE_READWRITE | SEC_COMMIT, 0, 0, nullptr);
  ASSERT_NE(section, nullptr);
  auto* view = static_cast<char*>(MapViewOfFile(section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, viewLength));
  ASSERT_NE(view, nullptr);
  std::memcpy(view, "boot", 4);
  std::memcpy(view + viewLength - 4, "tail", 4);

  const LONGLONG beyond = 200LL << 20;
  char sector[512];
  std::memset(sector, 'R', sizeof sector);
  LARGE_INTEGER at;
  at.QuadPart = beyond;
  ASSERT_TRUE(SetFilePointerEx(file, at, nullptr, FILE_BEGIN));
  DWORD written;
  ASSERT_TRUE(WriteFile(file, sector, sizeof sector, &written, nullptr));
  EXPECT_EQ(written, 512u);

  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_TRUE(CloseHandle(section));
  EXPECT_TRUE(CloseHandle(file));

  EXPECT_EQ(ReadAt("image", 0, 4), "boot");
  EXPECT_EQ(ReadAt("image", viewLength - 4, 4), "tail");
  EXPECT_EQ(ReadAt("image", beyond, 512), std::string(512, 'R'));
  struct stat st;
  ASSERT_EQ(stat(Path("image").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, size);
  EXPECT_LT(st.st_blocks * 512, 16 << 20);  // still sparse
}

TEST_F(Mapping, ViewsAtOffsetsSeeTheRightBytes) {
  HANDLE file = Create("f");
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  // A writable section larger than the file grows it.
  HANDLE section = CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 3 * 65536, nullptr);
  ASSERT_NE(section, nullptr);
  LARGE_INTEGER size;
  ASSERT_TRUE(GetFileSizeEx(file, &size));
  EXPECT_EQ(size.QuadPart, 3 * 65536);
  auto* second = static_cast<char*>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 65536, 0));
  ASSERT_NE(second, nullptr);
  std::memcpy(second, "at64k", 5);
  auto* whole = static_cast<char*>(MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(std::string(whole + 65536, 5), "at64k");

  // Offsets off the allocation granularity and views past the section fail.
  EXPECT_EQ(MapViewOfFile(section, FILE_MAP_READ, 0, 4096, 0), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MAPPED_ALIGNMENT));
  EXPECT_EQ(MapViewOfFile(section, FILE_MAP_READ, 0, 2 * 65536, 65537), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));

  // Cutting the file under a view would make the view fault; it is refused.
  LARGE_INTEGER zero = {};
  ASSERT_TRUE(SetFilePointerEx(file, zero, nullptr, FILE_BEGIN));
  EXPECT_FALSE(SetEndOfFile(file));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_USER_MAPPED_FILE));
  EXPECT_EQ(std::string(whole + 65536, 5), "at64k");

  // The section outlives the file handle, as on Windows.
  CloseHandle(file);
  CloseHandle(section);
  EXPECT_EQ(std::string(second, 5), "at64k");
  EXPECT_TRUE(UnmapViewOfFile(second + 10));  // any address inside the view
  EXPECT_TRUE(UnmapViewOfFile(whole));
  EXPECT_FALSE(UnmapViewOfFile(whole));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_ADDRESS));
}

TEST_F(Mapping, RefusesWhatWindowsRefuses) {
  HANDLE file = Create("empty");
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_INVALID));
  CloseHandle(file);

  std::ofstream(Path("ro")) << "read only";
  HANDLE reader = CreateFileA(Path("ro").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateFileMappingA(reader, nullptr, PAGE_READWRITE, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  HANDLE section = CreateFileMappingA(reader, nullptr, PAGE_READONLY, 0, 0, nullptr);
  ASSERT_NE(section, nullptr);
  EXPECT_EQ(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  auto* view = static_cast<const char*>(MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::string(view, 9), "read only");
  UnmapViewOfFile(view);
  CloseHandle(section);
  CloseHandle(reader);
}

}  // namespace
