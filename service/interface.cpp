#include "service/interface.h"

#include "service/mount_record.h"

namespace {

constexpr NDR_PARAM_DESC In(NDR_WIRE_TYPE type) { return {NDR_IN, (unsigned char)type, -1, 0, 0}; }
constexpr NDR_PARAM_DESC InString() { return {NDR_IN, NDR_STRING, -1, 0, TARNSVC_MAX_STRING}; }
constexpr NDR_PARAM_DESC Out(NDR_WIRE_TYPE type) { return {NDR_OUT, (unsigned char)type, -1, 0, 0}; }
constexpr NDR_PARAM_DESC Record(NDR_DIRECTION direction) {
    return {(unsigned char)direction, NDR_BYTE_ARRAY, -1, kMountRecordWireSize, 0};
}

const NDR_PARAM_DESC kQueryDrive[] = {InString(), {NDR_IN, NDR_UNIQUE_STRING, -1, 0, TARNSVC_MAX_STRING},
                                      Out(NDR_HYPER_PTR), Out(NDR_HYPER_PTR)};
const NDR_PARAM_DESC kStartImageConversion[] = {InString(), InString(), In(NDR_LONG), InString()};
const NDR_PARAM_DESC kLockDrive[] = {InString()};
const NDR_PARAM_DESC kUnlockDrive[] = {InString(), InString(), In(NDR_LONG)};
const NDR_PARAM_DESC kStartDriveConversion[] = {InString(), In(NDR_LONG), InString()};
const NDR_PARAM_DESC kQuickEncryptDrive[] = {InString(), InString()};
const NDR_PARAM_DESC kQuickDecryptDrive[] = {InString()};
// buf is size_is(bufSize): parameter 0 sizes it.
const NDR_PARAM_DESC kGetLastMessage[] = {In(NDR_LONG), {NDR_OUT, NDR_BYTE_ARRAY, 0, 0, TARNSVC_MAX_MESSAGE_BUFFER}};
const NDR_PARAM_DESC kCreateImage[] = {InString(), In(NDR_HYPER), In(NDR_LONG), In(NDR_LONG), InString()};
const NDR_PARAM_DESC kQueryMount[] = {In(NDR_CHAR), Record(NDR_OUT)};
const NDR_PARAM_DESC kMountImage[] = {In(NDR_LONG), Record(NDR_IN), In(NDR_CHAR)};
const NDR_PARAM_DESC kUnmountImage[] = {In(NDR_CHAR)};

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
};

}  // namespace

const RPC_INTERFACE_DESC tarnsvc_Desc = {
    {{0x8b4c8b20, 0xfec6, 0x11ce, {0xb4, 0xeb, 0x00, 0x80, 0xc7, 0x79, 0xfc, 0x83}}, {1, 0}},
    kProcs,
    TARNSVC_PROC_COUNT,
};
