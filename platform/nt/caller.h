// The user-mode caller a thread works for (not Windows API). On Windows the
// thread of a system call carries its process's token; here the host says,
// per system call, whose request the current thread is serving, and
// SeCreateClientSecurity captures that identity.
//
// Contract for the host's I/O dispatch: before it calls a driver on behalf
// of a client, set the client's identity on that thread (the Linux uid, gid
// and supplementary groups from the socket peer's credentials), and clear it
// again afterwards; tarn::nt::ScopedCaller does both. Without a caller the
// thread counts as the process itself.
#pragma once

#include <sys/types.h>

#include "wdm.h"

#define NT_CALLER_MAX_GROUPS 256

typedef struct _NT_CALLER_IDENTITY {
  ULONG Uid;
  ULONG Gid;
  ULONG GroupCount;  // entries of Groups used
  ULONG Groups[NT_CALLER_MAX_GROUPS];
} NT_CALLER_IDENTITY, *PNT_CALLER_IDENTITY;
typedef const NT_CALLER_IDENTITY* PCNT_CALLER_IDENTITY;

#ifdef __cplusplus
extern "C" {
#endif

// Sets the caller of the current thread; NULL clears it. The record is
// copied.
VOID NtHostSetCurrentCaller(_In_opt_ PCNT_CALLER_IDENTITY Caller);
// The caller of the current thread, or the process's own identity (its
// effective uid and gid and its supplementary groups) when none is set.
// Returns TRUE when a caller was set.
BOOLEAN NtHostQueryCurrentCaller(_Out_ PNT_CALLER_IDENTITY Caller);
// Fills Caller for the peer of a Unix socket: Uid and Gid as the socket
// reports them, the groups read from /proc/<ProcessId>/status. Groups beyond
// NT_CALLER_MAX_GROUPS are left out (which only ever denies access).
// STATUS_NOT_FOUND when the process has gone.
NTSTATUS NtHostCallerFromProcess(_In_ ULONG ProcessId, _In_ ULONG Uid, _In_ ULONG Gid,
                                 _Out_ PNT_CALLER_IDENTITY Caller);

#ifdef __cplusplus
}

namespace tarn::nt {

// Sets a caller for one scope and puts back what was there before.
class ScopedCaller {
 public:
  explicit ScopedCaller(const NT_CALLER_IDENTITY& Caller);
  ~ScopedCaller();
  ScopedCaller(const ScopedCaller&) = delete;
  ScopedCaller& operator=(const ScopedCaller&) = delete;

 private:
  NT_CALLER_IDENTITY previous_;
  bool hadPrevious_;
};

}  // namespace tarn::nt
#endif
