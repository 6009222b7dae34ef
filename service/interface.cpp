#include "service/interface.h"

#include "service/mount_record.h"

namespace {

const NDR_PARAM_DESC kQueryDrive[] = {NDR_IN_STRING_MAX(TARNSVC_MAX_STRING), NDR_IN_UNIQUE_STRING, NDR_OUT_HYPER,
                                      NDR_OUT_HYPER};
const NDR_PARAM_DESC kStartImageConversion[] = {NDR_IN_STRING_MAX(TARNSVC_MAX_STRING),
                                                NDR_IN_STRING_MAX(TARNSVC_MAX_STRING), NDR_IN_LONG,
                                                NDR_IN_STRING_MAX(TARNSVC_MAX_STRING)};
const NDR_PARAM_DESC kLockDrive[] = {NDR_IN_STRING_MAX(TARNSVC_MAX_STRING)};
const NDR_PARAM_DESC kUnlockDrive[] = {NDR_IN_STRING_MAX(TARNSVC_MAX_STRING), NDR_IN_STRING_MAX(TARNSVC_MAX_STRING),
                                       NDR_IN_LONG};
const NDR_PARAM_DESC kStartDriveConversion[] = {NDR_IN_STRING_MAX(TARNSVC_MAX_STRING), NDR_IN_LONG,
                                                NDR_IN_STRING_MAX(TARNSVC_MAX_STRING)};
const NDR_PARAM_DESC kQuickEncryptDrive[] = {NDR_IN_STRING_MAX(TARNSVC_MAX_STRING),
                                             NDR_IN_STRING_MAX(TARNSVC_MAX_STRING)};
const NDR_PARAM_DESC kQuickDecryptDrive[] = {NDR_IN_STRING_MAX(TARNSVC_MAX_STRING)};
// buf is size_is(bufSize): parameter 0 sizes it.
const NDR_PARAM_DESC kGetLastMessage[] = {NDR_IN_LONG, NDR_OUT_BYTES_SIZE_IS(0, TARNSVC_MAX_MESSAGE_BUFFER)};
const NDR_PARAM_DESC kCreateImage[] = {NDR_IN_STRING_MAX(TARNSVC_MAX_STRING), NDR_IN_HYPER, NDR_IN_LONG, NDR_IN_LONG,
                                       NDR_IN_STRING_MAX(TARNSVC_MAX_STRING)};
const NDR_PARAM_DESC kQueryMount[] = {NDR_IN_CHAR, NDR_OUT_BYTES_CONST(kMountRecordWireSize)};
const NDR_PARAM_DESC kMountImage[] = {NDR_IN_LONG, NDR_IN_BYTES_CONST(kMountRecordWireSize), NDR_IN_CHAR};
const NDR_PARAM_DESC kUnmountImage[] = {NDR_IN_CHAR};
const NDR_PARAM_DESC kResumeConversion[] = {NDR_IN_STRING_MAX(TARNSVC_MAX_STRING),
                                            NDR_IN_STRING_MAX(TARNSVC_MAX_STRING), NDR_IN_LONG};
const NDR_PARAM_DESC kQueryConversion[] = {NDR_IN_STRING_MAX(TARNSVC_MAX_STRING),
                                           NDR_OUT_BYTES_CONST(TARNSVC_CONVERSION_STATE_SIZE)};

const NDR_PROC_DESC kProcs[TARNSVC_PROC_COUNT] = {
    NDR_PROC_NOPARAMS(0, SvcPing),
    NDR_PROC(1, SvcQueryDrive, kQueryDrive),
    NDR_PROC(2, SvcStartImageConversion, kStartImageConversion),
    NDR_PROC(3, SvcLockDrive, kLockDrive),
    NDR_PROC(4, SvcUnlockDrive, kUnlockDrive),
    NDR_PROC(5, SvcStartDriveConversion, kStartDriveConversion),
    NDR_PROC_RESERVED(6),
    NDR_PROC_RESERVED(7),
    NDR_PROC_RESERVED(8),
    NDR_PROC(9, SvcQuickEncryptDrive, kQuickEncryptDrive),
    NDR_PROC(10, SvcQuickDecryptDrive, kQuickDecryptDrive),
    NDR_PROC(11, SvcGetLastMessage, kGetLastMessage),
    NDR_PROC_NOPARAMS(12, SvcGetProgress),
    NDR_PROC_NOPARAMS(13, SvcGetFinished),
    NDR_PROC_NOPARAMS(14, SvcGetResult),
    NDR_PROC_RESERVED(15),
    NDR_PROC_RESERVED(16),
    NDR_PROC(17, SvcCreateImage, kCreateImage),
    NDR_PROC(18, SvcQueryMount, kQueryMount),
    NDR_PROC(19, SvcMountImage, kMountImage),
    NDR_PROC(20, SvcUnmountImage, kUnmountImage),
    NDR_PROC_RESERVED(21),
    NDR_PROC(22, SvcResumeConversion, kResumeConversion),
    NDR_PROC(23, SvcQueryConversion, kQueryConversion),
    NDR_PROC_NOPARAMS(24, SvcPauseConversion),
};

}  // namespace

const RPC_INTERFACE_DESC tarnsvc_Desc = {
    {{0x8b4c8b20, 0xfec6, 0x11ce, {0xb4, 0xeb, 0x00, 0x80, 0xc7, 0x79, 0xfc, 0x83}}, {1, 0}},
    kProcs,
    TARNSVC_PROC_COUNT,
};
