// Threads, events, waits, time and process identity.
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>

#include "errno_map.h"
#include "handle_table.h"
#include "thread_object.h"
#include "winbase.h"

namespace tarn::win32 {

void ThreadObject::Run(LPTHREAD_START_ROUTINE start, LPVOID parameter) {
  threadId_ = static_cast<DWORD>(syscall(SYS_gettid));
  DWORD code = start(parameter);
  exitCode_ = code;
  SetSignalled(true);
}

namespace {

struct ThreadStart {
  std::shared_ptr<ThreadObject> thread;  // keeps the object alive while the thread runs
  LPTHREAD_START_ROUTINE routine;
  LPVOID parameter;
};

void* ThreadMain(void* argument) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
  start->thread->Run(start->routine, start->parameter);
  return nullptr;
}

std::shared_ptr<EventObject> EventHandle(HANDLE handle) {
  auto event = LookupHandleAs<EventObject>(handle);
  if (!event) SetLastError(ERROR_INVALID_HANDLE);
  return event;
}

}  // namespace
}  // namespace tarn::win32

using namespace tarn::win32;

extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize,
                                      LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                      DWORD dwCreationFlags, LPDWORD lpThreadId) {
  if (!lpStartAddress) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (dwCreationFlags & CREATE_SUSPENDED) {
    // FIXME: suspended start (needs ResumeThread); nothing here uses it.
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  std::shared_ptr<ThreadObject> thread;
  std::unique_ptr<ThreadStart> start;
  try {
    thread = std::make_shared<ThreadObject>();
    start = std::make_unique<ThreadStart>(ThreadStart{thread, lpStartAddress, lpParameter});
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE handle = InsertHandle(thread);
  if (!handle) {
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return nullptr;
  }
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (dwStackSize) {
    auto minimum = static_cast<SIZE_T>(PTHREAD_STACK_MIN);
    pthread_attr_setstacksize(&attributes, dwStackSize < minimum ? minimum : dwStackSize);
  }
  pthread_t id;
  int rc = pthread_create(&id, &attributes, ThreadMain, start.get());
  pthread_attr_destroy(&attributes);
  if (rc != 0) {
    RemoveHandle(handle);
    SetLastError(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ErrnoToWin32(rc));
    return nullptr;
  }
  start.release();  // the new thread owns it now
  if (lpThreadId) {
    // The id is known once the thread runs; wait for that briefly.
    while (thread->threadId() == 0 && thread->exitCode() == STILL_ACTIVE) sched_yield();
    *lpThreadId = thread->threadId();
  }
  return handle;
}

extern "C" BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto thread = LookupHandleAs<ThreadObject>(hThread);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!lpExitCode) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  *lpExitCode = thread->exitCode();
  return TRUE;
}

extern "C" HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
  if (lpName) {
    // FIXME: named events shared between processes; nothing here uses them.
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  std::shared_ptr<EventObject> event;
  try {
    event = std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE handle = InsertHandle(event);
  if (!handle) {
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return handle;
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent) {
  auto event = EventHandle(hEvent);
  if (!event) return FALSE;
  event->Set();
  return TRUE;
}

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent) {
  auto event = EventHandle(hEvent);
  if (!event) return FALSE;
  event->Reset();
  return TRUE;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  auto object = LookupHandleAs<Waitable>(hHandle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return object->Wait(dwMilliseconds);
}

extern "C" void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == INFINITE) {
    for (;;) pause();
  }
  struct timespec rest = {static_cast<time_t>(dwMilliseconds / 1000), static_cast<long>(dwMilliseconds % 1000) * 1000000L};
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

extern "C" ULONGLONG WINAPI GetTickCount64(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<ULONGLONG>(now.tv_sec) * 1000 + static_cast<ULONGLONG>(now.tv_nsec) / 1000000;
}

extern "C" DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(GetTickCount64()); }

extern "C" DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

extern "C" DWORD WINAPI GetCurrentThreadId(void) { return static_cast<DWORD>(syscall(SYS_gettid)); }
