#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>

namespace {

TEST(Events, ManualResetStaysSignalledUntilReset) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(event, 20), DWORD(WAIT_TIMEOUT));
  SetEvent(event);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
  ResetEvent(event);
  EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT));
  CloseHandle(event);
}

TEST(Events, AutoResetReleasesOneWaitPerSignal) {
  HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT));
  SetEvent(event);
  SetEvent(event);  // signals do not count up
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 10), DWORD(WAIT_TIMEOUT));
  CloseHandle(event);
}

struct Handshake {
  HANDLE started;
  HANDLE go;
  std::atomic<int> passes{0};
};

DWORD WINAPI Waiter(LPVOID parameter) {
  auto* h = static_cast<Handshake*>(parameter);
  SetEvent(h->started);
  if (WaitForSingleObject(h->go, INFINITE) != WAIT_OBJECT_0) return 1;
  h->passes++;
  return 42;
}

TEST(Threads, HandleSignalsAtExitAndKeepsTheExitCode) {
  Handshake h;
  h.started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  h.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, Waiter, &h, 0, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  ASSERT_EQ(WaitForSingleObject(h.started, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, DWORD(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(thread, 10), DWORD(WAIT_TIMEOUT));
  SetEvent(h.go);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);  // stays signalled
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 42u);
  CloseHandle(thread);
  CloseHandle(h.started);
  CloseHandle(h.go);
}

TEST(Threads, ManualResetEventReleasesEveryWaiter) {
  Handshake h;
  h.started = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  h.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE threads[4];
  for (auto& t : threads) {
    t = CreateThread(nullptr, 64 * 1024, Waiter, &h, 0, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(WaitForSingleObject(h.started, INFINITE), WAIT_OBJECT_0);
  }
  SetEvent(h.go);
  for (auto t : threads) {
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    CloseHandle(t);
  }
  EXPECT_EQ(h.passes.load(), 4);
  CloseHandle(h.started);
  CloseHandle(h.go);
}

DWORD WINAPI Quick(LPVOID) { return 7; }

TEST(Threads, ClosingTheHandleEarlyIsSafe) {
  HANDLE thread = CreateThread(nullptr, 0, Quick, nullptr, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(CloseHandle(thread));  // the thread may still be running
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(Time, TickCountAndModuleName) {
  ULONGLONG before = GetTickCount64();
  Sleep(2);
  EXPECT_GE(GetTickCount64(), before);  // a monotonic clock, not the wall clock
  char name[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, name, sizeof name);
  ASSERT_GT(n, 0u);
  EXPECT_NE(std::string(name, n).find("win32_threads_test"), std::string::npos);
  char small[4];
  EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), 4u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(small[3], '\0');
  EXPECT_EQ(lstrlenA(name), int(n));
  EXPECT_EQ(lstrlenA(nullptr), 0);
}

}  // namespace
