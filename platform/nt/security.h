// Client security for drivers: capture the identity of the user-mode caller
// a request came from, and let another thread (a driver's worker) act with
// that identity's file rights.
//
// The captured token holds the caller's Linux uid, gid and groups (see
// caller.h for where they come from). Impersonation switches the calling
// thread's file-system identity (setfsuid, setfsgid and the thread's own
// supplementary groups), so files are opened with the caller's rights and
// created as the caller's. Switching to another user needs CAP_SETUID and
// CAP_SETGID; without them impersonating anyone but the process's own user
// fails with STATUS_PRIVILEGE_NOT_HELD instead of silently keeping the
// process's rights. (A caller of the process's own uid and gid keeps the
// process's groups then: the same user, started in another session.)
#pragma once

#include "caller.h"
#include "wdm.h"

#ifndef STATUS_NO_TOKEN
#define STATUS_NO_TOKEN ((NTSTATUS)0xC000007CL)
#endif

typedef PVOID PACCESS_TOKEN;

typedef struct _LUID {
  ULONG LowPart;
  LONG HighPart;
} LUID, *PLUID;

typedef enum _SECURITY_IMPERSONATION_LEVEL {
  SecurityAnonymous,
  SecurityIdentification,
  SecurityImpersonation,
  SecurityDelegation
} SECURITY_IMPERSONATION_LEVEL, *PSECURITY_IMPERSONATION_LEVEL;

typedef enum _TOKEN_TYPE { TokenPrimary = 1, TokenImpersonation } TOKEN_TYPE, *PTOKEN_TYPE;

typedef BOOLEAN SECURITY_CONTEXT_TRACKING_MODE, *PSECURITY_CONTEXT_TRACKING_MODE;
#define SECURITY_DYNAMIC_TRACKING (TRUE)
#define SECURITY_STATIC_TRACKING (FALSE)

typedef struct _SECURITY_QUALITY_OF_SERVICE {
  ULONG Length;
  SECURITY_IMPERSONATION_LEVEL ImpersonationLevel;
  SECURITY_CONTEXT_TRACKING_MODE ContextTrackingMode;
  BOOLEAN EffectiveOnly;
} SECURITY_QUALITY_OF_SERVICE, *PSECURITY_QUALITY_OF_SERVICE;

#define TOKEN_SOURCE_LENGTH 8
typedef struct _TOKEN_SOURCE {
  CHAR SourceName[TOKEN_SOURCE_LENGTH];
  LUID SourceIdentifier;
} TOKEN_SOURCE, *PTOKEN_SOURCE;

typedef struct _TOKEN_CONTROL {
  LUID TokenId;
  LUID AuthenticationId;
  LUID ModifiedId;
  TOKEN_SOURCE TokenSource;
} TOKEN_CONTROL, *PTOKEN_CONTROL;

typedef struct _SECURITY_CLIENT_CONTEXT {
  SECURITY_QUALITY_OF_SERVICE SecurityQos;
  PACCESS_TOKEN ClientToken;  // referenced; dropped by SeDeleteClientSecurity
  BOOLEAN DirectlyAccessClientToken;
  BOOLEAN DirectAccessEffectiveOnly;
  BOOLEAN ServerIsRemote;
  TOKEN_CONTROL ClientTokenControl;
} SECURITY_CLIENT_CONTEXT, *PSECURITY_CLIENT_CONTEXT;

// Tokens are objects counted under this pool tag.
#define NT_TAG_TOKEN 0x656B6F54u  // "Toke" in memory

#ifdef __cplusplus
extern "C" {
#endif

// Captures the identity of ClientThread's caller (which must be the calling
// thread) into ClientContext with a new token reference. A thread serving a
// host caller yields a TokenImpersonation token, any other a TokenPrimary one
// of the process. STATUS_INSUFFICIENT_RESOURCES when no token can be made;
// STATUS_NOT_IMPLEMENTED for another thread.
NTSTATUS SeCreateClientSecurity(_In_ PETHREAD ClientThread,
                                _In_ PSECURITY_QUALITY_OF_SERVICE ClientSecurityQos,
                                _In_ BOOLEAN RemoteSession, _Out_ PSECURITY_CLIENT_CONTEXT ClientContext);
// Makes ServerThread (NULL or the calling thread) act as the client until
// PsRevertToSelf. STATUS_BAD_IMPERSONATION_LEVEL when the context was
// captured below SecurityImpersonation, STATUS_PRIVILEGE_NOT_HELD when the
// process may not take on the client's identity, STATUS_NOT_IMPLEMENTED for
// another thread. On failure the thread keeps its own identity.
NTSTATUS SeImpersonateClientEx(_In_ PSECURITY_CLIENT_CONTEXT ClientContext, _In_opt_ PETHREAD ServerThread);
// As SeImpersonateClientEx, for callers that do not look at the result.
VOID SeImpersonateClient(_In_ PSECURITY_CLIENT_CONTEXT ClientContext, _In_opt_ PETHREAD ServerThread);
// Gives the calling thread its own identity back; nothing when it is not
// impersonating.
VOID PsRevertToSelf(void);
// Drops the context's token reference (whatever the token's type) and
// clears ClientToken; safe on a context whose token is already gone.
VOID SeDeleteClientSecurity(_Inout_ PSECURITY_CLIENT_CONTEXT ClientContext);

TOKEN_TYPE SeTokenType(_In_ PACCESS_TOKEN Token);
VOID PsDereferencePrimaryToken(_In_ PACCESS_TOKEN PrimaryToken);
VOID PsDereferenceImpersonationToken(_In_ PACCESS_TOKEN ImpersonationToken);

#ifdef __cplusplus
}

namespace tarn::nt {
// The identity a token holds (for tests and diagnostics).
NTSTATUS QueryTokenIdentity(PACCESS_TOKEN Token, NT_CALLER_IDENTITY* Identity);
}  // namespace tarn::nt
#endif
