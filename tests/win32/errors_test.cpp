#include <windows.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

namespace {

struct StatusCase {
  uint32_t status;
  DWORD error;
};

TEST(StatusMapping, GivesTheWin32ErrorWindowsGives) {
  const StatusCase cases[] = {
      {0x00000000, ERROR_SUCCESS},
      {0xC0000022, ERROR_ACCESS_DENIED},            // access denied
      {0xC000000D, ERROR_INVALID_PARAMETER},        // invalid parameter
      {0xC0000023, ERROR_INSUFFICIENT_BUFFER},      // buffer too small
      {0xC0000013, ERROR_NOT_READY},                // no media in device
      {0xC00000A2, ERROR_WRITE_PROTECT},            // media write protected
      {0xC0000010, ERROR_INVALID_FUNCTION},         // invalid device request
      {0xC000000F, ERROR_FILE_NOT_FOUND},           // no such file
      {0xC0000034, ERROR_FILE_NOT_FOUND},           // object name not found
      {0xC000003A, ERROR_PATH_NOT_FOUND},           // object path not found
      {0xC0000056, ERROR_DELETE_PENDING},           // delete pending
      {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},      // insufficient resources
      {0xC0000001, ERROR_GEN_FAILURE},              // unsuccessful
      {0xC0000183, ERROR_INVALID_FUNCTION},         // driver internal error
      {0xC00000A3, ERROR_NOT_READY},                // device not ready
      {0xC0000011, ERROR_HANDLE_EOF},               // end of file
      {0xC0000043, ERROR_SHARING_VIOLATION},        // sharing violation
      {0xC0000185, ERROR_IO_DEVICE},                // I/O device error
      {0x80000011, ERROR_BUSY},                     // device busy
      {0x80000005, ERROR_MORE_DATA},                // buffer overflow
      {0x00000102, ERROR_TIMEOUT},                  // timeout
      {0x00000103, ERROR_IO_PENDING},               // pending
      {0xC0070005, ERROR_ACCESS_DENIED},            // a Win32 error wrapped as a status
      {0xE0001234, 0xE0001234},                     // a driver's own code passes through
      {0xC0FFEE00, ERROR_MR_MID_NOT_FOUND},         // unknown
      {0x00000001, ERROR_MR_MID_NOT_FOUND},         // unknown success code
  };
  for (const auto& c : cases)
    EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(c.status)), c.error) << std::hex << c.status;
}

struct TextCase {
  DWORD error;
  const char* text;
};

TEST(FormatMessage, GivesTheSystemTextsWithTheirLineEnds) {
  const TextCase cases[] = {
      {0, "The operation completed successfully.\r\n"},
      {2, "The system cannot find the file specified.\r\n"},
      {3, "The system cannot find the path specified.\r\n"},
      {5, "Access is denied.\r\n"},
      {6, "The handle is invalid.\r\n"},
      {19, "The media is write protected.\r\n"},
      {21, "The device is not ready.\r\n"},
      {32, "The process cannot access the file because it is being used by another process.\r\n"},
      {33, "The process cannot access the file because another process has locked a portion of the file.\r\n"},
      {38, "Reached the end of the file.\r\n"},
      {50, "The request is not supported.\r\n"},
      {80, "The file exists.\r\n"},
      {87, "The parameter is incorrect.\r\n"},
      {112, "There is not enough space on the disk.\r\n"},
      {120, "This function is not supported on this system.\r\n"},
      {122, "The data area passed to a system call is too small.\r\n"},
      {170, "The requested resource is in use.\r\n"},
      {183, "Cannot create a file when that file already exists.\r\n"},
      {1117, "The request could not be performed because of an I/O device error.\r\n"},
      {1167, "The device is not connected.\r\n"},
      {1722, "The RPC server is unavailable.\r\n"},
  };
  for (const auto& c : cases) {
    char buffer[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, c.error, 0, buffer,
                             sizeof buffer, nullptr);
    EXPECT_EQ(std::string(buffer, n), c.text) << c.error;
  }
}

TEST(FormatMessage, EveryCodeTheLayerProducesHasAText) {
  // Codes reached through the status table and the errno mapping.
  const DWORD produced[] = {1,   4,   8,   13,  14,  17,  18,   22,   23,   24,   27,   31,   34,   39,   55,
                            64,  109, 121, 123, 126, 131, 145,  161,  206,  223,  234,  258,  259,  267,  303,
                            317, 487, 534, 995, 997, 998, 1005, 1006, 1009, 1011, 1016, 1018, 1110, 1132, 1168,
                            1224, 1225, 1232, 1314, 1450, 1460, 1784, 1785, 1921};
  for (DWORD code : produced) {
    char buffer[512];
    EXPECT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                             sizeof buffer, nullptr),
              0u)
        << code;
  }
}

TEST(FormatMessage, AllocatesAndRefusesShortBuffersAndUnknownNumbers) {
  char* allocated = nullptr;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, ERROR_ACCESS_DENIED, 0, reinterpret_cast<LPSTR>(&allocated), 0, nullptr);
  ASSERT_NE(allocated, nullptr);
  EXPECT_EQ(std::string(allocated, n), "Access is denied.\r\n");
  EXPECT_EQ(LocalFree(allocated), nullptr);

  char small[8];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_ACCESS_DENIED, 0,
                           small, sizeof small, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));

  char buffer[256];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 0x12345, 0, buffer,
                           sizeof buffer, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MR_MID_NOT_FOUND));

  // The text of 317 has inserts: without IGNORE_INSERTS and arguments it is refused.
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_MR_MID_NOT_FOUND, 0, buffer, sizeof buffer,
                           nullptr),
            0u);
}

TEST(LastError, IsPerThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD seenByOther = 1234;
  std::thread other([&] { seenByOther = GetLastError(); SetLastError(ERROR_BUSY); });
  other.join();
  EXPECT_EQ(seenByOther, 0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

TEST(Handles, StaleAndUnknownHandlesAreRefused) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_TRUE(CloseHandle(event));
  // A closed handle must not reach a newer object.
  HANDLE newer = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_NE(newer, event);
  EXPECT_FALSE(CloseHandle(event));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetEvent(event));
  // A handle of the wrong kind is an invalid handle for the call.
  DWORD done = 0;
  char byte;
  EXPECT_FALSE(ReadFile(newer, &byte, 1, &done, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_TRUE(CloseHandle(newer));
}

}  // namespace
