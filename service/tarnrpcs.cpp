// tarnrpcs: the server stubs, one routine per opnum (reserved ones answer
// with a fault), and the server start.
#include "service/tarnrpcs.h"

#include <cstdio>

#include "service/interface.h"
#include "service/procedures.h"

namespace {

const NDR_SERVER_ROUTINE kRoutines[TARNSVC_PROC_COUNT] = {
    NDR_ROUTINE(tarnsvc::SvcPing),
    NDR_ROUTINE(tarnsvc::SvcQueryDrive),
    NDR_ROUTINE(tarnsvc::SvcStartImageConversion),
    NDR_ROUTINE(tarnsvc::SvcLockDrive),
    NDR_ROUTINE(tarnsvc::SvcUnlockDrive),
    NDR_ROUTINE(tarnsvc::SvcStartDriveConversion),
    NDR_ROUTINE_RESERVED,
    NDR_ROUTINE_RESERVED,
    NDR_ROUTINE_RESERVED,
    NDR_ROUTINE(tarnsvc::SvcQuickEncryptDrive),
    NDR_ROUTINE(tarnsvc::SvcQuickDecryptDrive),
    NDR_ROUTINE(tarnsvc::SvcGetLastMessage),
    NDR_ROUTINE(tarnsvc::SvcGetProgress),
    NDR_ROUTINE(tarnsvc::SvcGetFinished),
    NDR_ROUTINE(tarnsvc::SvcGetResult),
    NDR_ROUTINE_RESERVED,
    NDR_ROUTINE_RESERVED,
    NDR_ROUTINE(tarnsvc::SvcCreateImage),
    NDR_ROUTINE(tarnsvc::SvcQueryMount),
    NDR_ROUTINE(tarnsvc::SvcMountImage),
    NDR_ROUTINE(tarnsvc::SvcUnmountImage),
    NDR_ROUTINE_RESERVED,
    NDR_ROUTINE(tarnsvc::SvcResumeConversion),
    NDR_ROUTINE(tarnsvc::SvcQueryConversion),
    NDR_ROUTINE(tarnsvc::SvcPauseConversion),
};

const RPC_SERVER_INTERFACE kServerInterface = {sizeof(RPC_SERVER_INTERFACE), &tarnsvc_Desc, kRoutines};

RPC_STATUS Report(RPC_STATUS status, int tag) {
    std::printf("RPC Err: %d\nfile = %s, line=%d.", int(status), "tarnrpcs", tag);
    std::fflush(stdout);
    return status;
}

}  // namespace

RPC_IF_HANDLE tarnsvc_v1_0_s_ifspec = (RPC_IF_HANDLE)&kServerInterface;

RPC_STATUS StartRpcServer(bool wait) {
    // The endpoint may exist already from an earlier start; what matters is
    // the registration below.
    RpcServerUseProtseqEpA((RPC_CSTR)TARNSVC_PROTSEQ, 5, (RPC_CSTR)TARNSVC_ENDPOINT, nullptr);
    RPC_STATUS status = RpcServerRegisterIf(tarnsvc_v1_0_s_ifspec, nullptr, nullptr);
    if (status != RPC_S_OK) return Report(status, 44);
    status = RpcServerUseAllProtseqs(10, nullptr);
    if (status != RPC_S_OK) return Report(status, 47);
    RPC_BINDING_VECTOR* bindings = nullptr;
    status = RpcServerInqBindings(&bindings);
    if (status != RPC_S_OK) return Report(status, 50);
    status = RpcNsBindingExportA(RPC_C_NS_SYNTAX_DEFAULT, (RPC_CSTR)TARNSVC_NS_ENTRY, tarnsvc_v1_0_s_ifspec,
                                 bindings, nullptr);
    if (status != RPC_S_OK) {
        RpcBindingVectorFree(&bindings);
        return Report(status, 54);
    }
    status = RpcEpRegisterA(tarnsvc_v1_0_s_ifspec, bindings, nullptr, nullptr);
    if (status != RPC_S_OK) {
        RpcBindingVectorFree(&bindings);
        return Report(status, 59);
    }
    status = RpcBindingVectorFree(&bindings);
    if (status != RPC_S_OK) return Report(status, 62);
    status = RpcServerListen(1, RPC_C_LISTEN_MAX_CALLS_DEFAULT, wait ? 0 : 1);
    if (status != RPC_S_OK) return Report(status, 65);
    return RPC_S_OK;
}
