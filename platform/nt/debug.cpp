// Debug output and stopping the system.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wdm.h"

namespace {

bool DebugOutputEnabled() {
  static const bool enabled = [] {
    const char* v = getenv("TARN_DBGPRINT");
    return v == nullptr || strcmp(v, "0") != 0;
  }();
  return enabled;
}

}  // namespace

extern "C" ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist) {
  (void)ComponentId;
  (void)Level;
  if (DebugOutputEnabled()) vfprintf(stderr, Format, arglist);
  return STATUS_SUCCESS;
}

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
  va_list ap;
  va_start(ap, Format);
  vDbgPrintEx(0, 0, Format, ap);
  va_end(ap);
  return STATUS_SUCCESS;
}

extern "C" ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
  va_list ap;
  va_start(ap, Format);
  vDbgPrintEx(ComponentId, Level, Format, ap);
  va_end(ap);
  return STATUS_SUCCESS;
}

// Without a kernel debugger a breakpoint stops the system.
extern "C" VOID DbgBreakPoint(void) { KeBugCheckEx(0x8E /* KERNEL_MODE_EXCEPTION_NOT_HANDLED */, 0x80000003, 0, 0, 0); }

// A bug check is always printed, whatever TARN_DBGPRINT says: it ends the
// process the way it would end the machine.
extern "C" VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  fprintf(stderr, "*** STOP: 0x%08X (0x%llX, 0x%llX, 0x%llX, 0x%llX)\n", BugCheckCode,
          (unsigned long long)P1, (unsigned long long)P2, (unsigned long long)P3, (unsigned long long)P4);
  fflush(stderr);
  abort();
}

extern "C" VOID KeBugCheck(ULONG BugCheckCode) { KeBugCheckEx(BugCheckCode, 0, 0, 0, 0); }
