// The per-thread caller identity the host sets for each system call.
#include "caller.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

thread_local NT_CALLER_IDENTITY tCaller;
thread_local bool tHasCaller = false;

void ProcessIdentity(NT_CALLER_IDENTITY* Caller) {
  *Caller = {};
  Caller->Uid = geteuid();
  Caller->Gid = getegid();
  gid_t groups[NT_CALLER_MAX_GROUPS];
  int n = getgroups(NT_CALLER_MAX_GROUPS, groups);
  if (n < 0) n = 0;  // more groups than fit: keep none rather than a wrong subset
  Caller->GroupCount = ULONG(n);
  for (int i = 0; i < n; ++i) Caller->Groups[i] = groups[i];
}

}  // namespace

extern "C" VOID NtHostSetCurrentCaller(PCNT_CALLER_IDENTITY Caller) {
  tHasCaller = Caller != nullptr;
  if (Caller != nullptr) {
    tCaller = *Caller;
    tCaller.GroupCount = std::min<ULONG>(tCaller.GroupCount, NT_CALLER_MAX_GROUPS);
  }
}

extern "C" BOOLEAN NtHostQueryCurrentCaller(PNT_CALLER_IDENTITY Caller) {
  if (tHasCaller) {
    *Caller = tCaller;
    return TRUE;
  }
  ProcessIdentity(Caller);
  return FALSE;
}

extern "C" NTSTATUS NtHostCallerFromProcess(ULONG ProcessId, ULONG Uid, ULONG Gid, PNT_CALLER_IDENTITY Caller) {
  *Caller = {};
  Caller->Uid = Uid;
  Caller->Gid = Gid;
  char path[64];
  std::snprintf(path, sizeof(path), "/proc/%u/status", ProcessId);
  std::ifstream status(path);
  if (!status) return STATUS_NOT_FOUND;
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Groups:", 0) != 0) continue;
    std::istringstream groups(line.substr(7));
    unsigned long group = 0;
    while (Caller->GroupCount < NT_CALLER_MAX_GROUPS && groups >> group) {
      Caller->Groups[Caller->GroupCount++] = ULONG(group);
    }
    return STATUS_SUCCESS;
  }
  return STATUS_NOT_FOUND;
}

namespace tarn::nt {

ScopedCaller::ScopedCaller(const NT_CALLER_IDENTITY& Caller) {
  hadPrevious_ = NtHostQueryCurrentCaller(&previous_) != FALSE;
  NtHostSetCurrentCaller(&Caller);
}

ScopedCaller::~ScopedCaller() { NtHostSetCurrentCaller(hadPrevious_ ? &previous_ : nullptr); }

}  // namespace tarn::nt
