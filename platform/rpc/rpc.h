// The RPC runtime's public interface, shaped like the Windows one (rpc.h):
// binding strings and handles, server registration and listening, caller
// impersonation, and the exception frame that client wrappers use.
//
// Transports: "ncalrpc" is a Unix stream socket <machine>/rpc/<endpoint>;
// "ncacn_ip_tcp" listens on 127.0.0.1 only. PDUs are DCE/RPC 5.0
// connection-oriented with NDR20 stub data.
#pragma once

#include <cstdint>
#include <exception>

#include "platform/rpc/rpcstatus.h"

typedef int32_t RPC_STATUS;
typedef unsigned char* RPC_CSTR;
typedef void* RPC_BINDING_HANDLE;
typedef RPC_BINDING_HANDLE handle_t;
typedef void* RPC_IF_HANDLE;
typedef void* RPC_MGR_EPV;

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
#endif
#ifndef UUID_DEFINED
#define UUID_DEFINED
typedef GUID UUID;
#endif

typedef struct _RPC_VERSION {
  unsigned short MajorVersion;
  unsigned short MinorVersion;
} RPC_VERSION;

typedef struct _RPC_SYNTAX_IDENTIFIER {
  GUID SyntaxGUID;
  RPC_VERSION SyntaxVersion;
} RPC_SYNTAX_IDENTIFIER;

typedef struct _RPC_BINDING_VECTOR {
  unsigned long Count;
  RPC_BINDING_HANDLE BindingH[1];
} RPC_BINDING_VECTOR;

typedef struct _UUID_VECTOR {
  unsigned long Count;
  UUID* Uuid[1];
} UUID_VECTOR;

typedef RPC_STATUS RPC_IF_CALLBACK_FN(RPC_IF_HANDLE InterfaceUuid, void* Context);

#define RPC_C_LISTEN_MAX_CALLS_DEFAULT 1234
#define RPC_C_PROTSEQ_MAX_REQS_DEFAULT 10
#define RPC_C_NS_SYNTAX_DEFAULT 0
#define RPC_IF_AUTOLISTEN 0x0001

// Binding strings and handles.
RPC_STATUS RpcStringBindingComposeA(RPC_CSTR ObjUuid, RPC_CSTR ProtSeq, RPC_CSTR NetworkAddr,
                                    RPC_CSTR Endpoint, RPC_CSTR Options,
                                    RPC_CSTR* StringBinding);
RPC_STATUS RpcBindingFromStringBindingA(RPC_CSTR StringBinding, RPC_BINDING_HANDLE* Binding);
RPC_STATUS RpcBindingToStringBindingA(RPC_BINDING_HANDLE Binding, RPC_CSTR* StringBinding);
RPC_STATUS RpcStringFreeA(RPC_CSTR* String);
RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* Binding);

// Server.
RPC_STATUS RpcServerUseProtseqEpA(RPC_CSTR Protseq, unsigned int MaxCalls, RPC_CSTR Endpoint,
                                  void* SecurityDescriptor);
RPC_STATUS RpcServerUseAllProtseqs(unsigned int MaxCalls, void* SecurityDescriptor);
RPC_STATUS RpcServerRegisterIf(RPC_IF_HANDLE IfHandle, UUID* MgrTypeUuid, RPC_MGR_EPV* MgrEpv);
RPC_STATUS RpcServerRegisterIfEx(RPC_IF_HANDLE IfHandle, UUID* MgrTypeUuid, RPC_MGR_EPV* MgrEpv,
                                 unsigned int Flags, unsigned int MaxCalls,
                                 RPC_IF_CALLBACK_FN* IfCallback);
RPC_STATUS RpcServerUnregisterIf(RPC_IF_HANDLE IfHandle, UUID* MgrTypeUuid,
                                 unsigned int WaitForCallsToComplete);
RPC_STATUS RpcServerInqBindings(RPC_BINDING_VECTOR** BindingVector);
RPC_STATUS RpcBindingVectorFree(RPC_BINDING_VECTOR** BindingVector);
RPC_STATUS RpcEpRegisterA(RPC_IF_HANDLE IfHandle, RPC_BINDING_VECTOR* BindingVector,
                          UUID_VECTOR* UuidVector, RPC_CSTR Annotation);
RPC_STATUS RpcNsBindingExportA(unsigned long EntryNameSyntax, RPC_CSTR EntryName,
                               RPC_IF_HANDLE IfHandle, RPC_BINDING_VECTOR* BindingVec,
                               UUID_VECTOR* ObjectUuidVec);
RPC_STATUS RpcServerListen(unsigned int MinimumCallThreads, unsigned int MaxCalls,
                           unsigned int DontWait);
RPC_STATUS RpcMgmtStopServerListening(RPC_BINDING_HANDLE Binding);
RPC_STATUS RpcMgmtWaitServerListen(void);

// Caller identity, inside a manager routine. Pass 0 for the current call.
RPC_STATUS RpcImpersonateClient(RPC_BINDING_HANDLE BindingHandle);
RPC_STATUS RpcRevertToSelf(void);

#ifndef RpcStringBindingCompose
#define RpcStringBindingCompose RpcStringBindingComposeA
#define RpcBindingFromStringBinding RpcBindingFromStringBindingA
#define RpcBindingToStringBinding RpcBindingToStringBindingA
#define RpcStringFree RpcStringFreeA
#define RpcServerUseProtseqEp RpcServerUseProtseqEpA
#define RpcEpRegister RpcEpRegisterA
#define RpcNsBindingExport RpcNsBindingExportA
#endif

// Exceptions. A failed call raises its RPC status; client wrappers catch it
// with the frame below, exactly as on Windows:
//
//   RpcTryExcept { r = SvcPing(); }
//   RpcExcept(1) { r = RpcExceptionCode(); }
//   RpcEndExcept
namespace tarn::rpc {

class RpcException : public std::exception {
 public:
  explicit RpcException(RPC_STATUS code) : code_(code) {}
  RPC_STATUS Code() const noexcept { return code_; }
  const char* what() const noexcept override { return "RPC exception"; }

 private:
  RPC_STATUS code_;
};

}  // namespace tarn::rpc

[[noreturn]] void RpcRaiseException(RPC_STATUS Exception);

#define RpcTryExcept try {
#define RpcExcept(expr)                                             \
  }                                                                 \
  catch (const ::tarn::rpc::RpcException& tarnRpcException_) {      \
    [[maybe_unused]] RPC_STATUS tarnRpcCode_ = tarnRpcException_.Code(); \
    if (!(expr)) throw;
#define RpcEndExcept }
#define RpcExceptionCode() (tarnRpcCode_)
