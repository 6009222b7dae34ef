// Client security: tokens are objects holding a caller identity;
// impersonation switches the thread's file-system identity.
//
// setfsuid, setfsgid and the raw setgroups system call act on the calling
// thread only (the C library's setgroups would change every thread of the
// process), which is what impersonating one worker thread needs.
#include "security.h"

#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <vector>

#include "private/object.h"

namespace {

struct TokenBody {
  TOKEN_TYPE Type;
  LUID Id;
  NT_CALLER_IDENTITY Identity;
};

_OBJECT_TYPE TokenObjectType = {"Token", NT_TAG_TOKEN, nullptr};

std::atomic<ULONG> gNextTokenId{1};

// What a thread was before it began to impersonate.
struct SavedIdentity {
  bool Active = false;
  uid_t FsUid = 0;
  gid_t FsGid = 0;
  std::vector<gid_t> Groups;
};
thread_local SavedIdentity tSaved;

uid_t CurrentFsUid() { return uid_t(setfsuid(uid_t(-1))); }
gid_t CurrentFsGid() { return gid_t(setfsgid(gid_t(-1))); }

std::vector<gid_t> ThreadGroups() {
  int n = getgroups(0, nullptr);
  std::vector<gid_t> groups(n > 0 ? size_t(n) : 0);
  if (n > 0 && getgroups(n, groups.data()) != n) groups.clear();
  return groups;
}

bool SetThreadGroups(const std::vector<gid_t>& Groups) {
  std::vector<gid_t> current = ThreadGroups();
  std::vector<gid_t> a = current, b = Groups;
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  if (a == b) return true;  // unprivileged threads may not even set the same list
  return syscall(SYS_setgroups, Groups.size(), Groups.data()) == 0;
}

// Sets the thread's file identity; true when both ids took.
bool SetFsIdentity(uid_t Uid, gid_t Gid) {
  setfsgid(Gid);
  setfsuid(Uid);
  return CurrentFsUid() == Uid && CurrentFsGid() == Gid;
}

void RestoreSaved() {
  // The user id first: it brings back the rights to change the rest.
  setfsuid(tSaved.FsUid);
  setfsgid(tSaved.FsGid);
  SetThreadGroups(tSaved.Groups);
  tSaved = SavedIdentity{};
}

}  // namespace

extern "C" NTSTATUS SeCreateClientSecurity(PETHREAD ClientThread, PSECURITY_QUALITY_OF_SERVICE ClientSecurityQos,
                                           BOOLEAN RemoteSession, PSECURITY_CLIENT_CONTEXT ClientContext) {
  // FIXME: only the calling thread's caller is known here.
  if (ClientThread != PsGetCurrentThread()) return STATUS_NOT_IMPLEMENTED;
  if (ClientSecurityQos == nullptr || ClientContext == nullptr) return STATUS_INVALID_PARAMETER;
  PVOID body = tarn::nt::CreateObject(&TokenObjectType, sizeof(TokenBody));
  if (body == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto* token = static_cast<TokenBody*>(body);
  const bool servingCaller = NtHostQueryCurrentCaller(&token->Identity) != FALSE;
  token->Type = servingCaller ? TokenImpersonation : TokenPrimary;
  token->Id.LowPart = gNextTokenId.fetch_add(1);

  RtlZeroMemory(ClientContext, sizeof(*ClientContext));
  ClientContext->SecurityQos = *ClientSecurityQos;
  ClientContext->ClientToken = body;
  // A static context is a copy taken now; a dynamic one follows the token.
  ClientContext->DirectlyAccessClientToken = ClientSecurityQos->ContextTrackingMode == SECURITY_DYNAMIC_TRACKING;
  ClientContext->DirectAccessEffectiveOnly = ClientSecurityQos->EffectiveOnly;
  ClientContext->ServerIsRemote = RemoteSession;
  ClientContext->ClientTokenControl.TokenId = token->Id;
  RtlCopyMemory(ClientContext->ClientTokenControl.TokenSource.SourceName, "TarnHost", TOKEN_SOURCE_LENGTH);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS SeImpersonateClientEx(PSECURITY_CLIENT_CONTEXT ClientContext, PETHREAD ServerThread) {
  if (ServerThread != nullptr && ServerThread != PsGetCurrentThread()) return STATUS_NOT_IMPLEMENTED;
  if (ClientContext == nullptr || ClientContext->ClientToken == nullptr) return STATUS_NO_TOKEN;
  if (ClientContext->SecurityQos.ImpersonationLevel < SecurityImpersonation) return STATUS_BAD_IMPERSONATION_LEVEL;
  const auto* token = static_cast<const TokenBody*>(ClientContext->ClientToken);

  if (tSaved.Active) RestoreSaved();  // a second impersonation replaces the first
  tSaved.FsUid = CurrentFsUid();
  tSaved.FsGid = CurrentFsGid();
  tSaved.Groups = ThreadGroups();
  tSaved.Active = true;

  const bool sameUser = token->Identity.Uid == tSaved.FsUid && token->Identity.Gid == tSaved.FsGid;
  std::vector<gid_t> groups(token->Identity.Groups, token->Identity.Groups + token->Identity.GroupCount);
  // An unprivileged host may not change its groups at all; for its own user
  // (a caller started in another session) it keeps them.
  const bool groupsSet = SetThreadGroups(groups) || (sameUser && errno == EPERM);
  if (!groupsSet || !SetFsIdentity(token->Identity.Uid, token->Identity.Gid)) {
    RestoreSaved();
    return STATUS_PRIVILEGE_NOT_HELD;
  }
  return STATUS_SUCCESS;
}

extern "C" VOID SeImpersonateClient(PSECURITY_CLIENT_CONTEXT ClientContext, PETHREAD ServerThread) {
  (void)SeImpersonateClientEx(ClientContext, ServerThread);
}

extern "C" VOID PsRevertToSelf(void) {
  if (tSaved.Active) RestoreSaved();
}

extern "C" VOID SeDeleteClientSecurity(PSECURITY_CLIENT_CONTEXT ClientContext) {
  if (ClientContext == nullptr || ClientContext->ClientToken == nullptr) return;
  if (SeTokenType(ClientContext->ClientToken) == TokenPrimary) {
    PsDereferencePrimaryToken(ClientContext->ClientToken);
  } else {
    PsDereferenceImpersonationToken(ClientContext->ClientToken);
  }
  ClientContext->ClientToken = nullptr;
}

extern "C" TOKEN_TYPE SeTokenType(PACCESS_TOKEN Token) { return static_cast<const TokenBody*>(Token)->Type; }

extern "C" VOID PsDereferencePrimaryToken(PACCESS_TOKEN PrimaryToken) { ObDereferenceObject(PrimaryToken); }

extern "C" VOID PsDereferenceImpersonationToken(PACCESS_TOKEN ImpersonationToken) {
  if (ImpersonationToken != nullptr) ObDereferenceObject(ImpersonationToken);
}

namespace tarn::nt {

NTSTATUS QueryTokenIdentity(PACCESS_TOKEN Token, NT_CALLER_IDENTITY* Identity) {
  if (Token == nullptr) return STATUS_NO_TOKEN;
  *Identity = static_cast<const TokenBody*>(Token)->Identity;
  return STATUS_SUCCESS;
}

}  // namespace tarn::nt
