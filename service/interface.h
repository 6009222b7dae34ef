// The service's RPC interface, described once for the server stubs
// (tarnrpcs) and the client wrappers: UUID 8b4c8b20-fec6-11ce-b4eb-0080c779fc83
// version 1.0, every opnum with its wire types, the reserved ones included.
#pragma once

#include <cstdint>

#include "platform/rpc/rpcndr.h"
#include "service/conversion_state.h"

// The service name, its RPC endpoint and protocol sequence.
#define TARNSVC_SERVICE_NAME "tarnsvc"
#define TARNSVC_PROTSEQ "ncalrpc"
#define TARNSVC_ENDPOINT "tarnsvc"
#define TARNSVC_NS_ENTRY "/.:/tarnsvc"

enum TARNSVC_OPNUM : unsigned short {
    OPNUM_SvcPing = 0,
    OPNUM_SvcQueryDrive = 1,
    OPNUM_SvcStartImageConversion = 2,
    OPNUM_SvcLockDrive = 3,
    OPNUM_SvcUnlockDrive = 4,
    OPNUM_SvcStartDriveConversion = 5,
    // 6, 7, 8 reserved
    OPNUM_SvcQuickEncryptDrive = 9,
    OPNUM_SvcQuickDecryptDrive = 10,
    OPNUM_SvcGetLastMessage = 11,
    OPNUM_SvcGetProgress = 12,
    OPNUM_SvcGetFinished = 13,
    OPNUM_SvcGetResult = 14,
    // 15, 16 reserved
    OPNUM_SvcCreateImage = 17,
    OPNUM_SvcQueryMount = 18,
    OPNUM_SvcMountImage = 19,
    OPNUM_SvcUnmountImage = 20,
    // 21 reserved
    OPNUM_SvcResumeConversion = 22,
    OPNUM_SvcQueryConversion = 23,
    OPNUM_SvcPauseConversion = 24,
    TARNSVC_PROC_COUNT = 25,
};

// Largest message buffer a caller may ask SvcGetLastMessage to fill.
#define TARNSVC_MAX_MESSAGE_BUFFER 65536u
// Longest path or password string accepted, terminator included.
#define TARNSVC_MAX_STRING 4096u

extern const RPC_INTERFACE_DESC tarnsvc_Desc;
