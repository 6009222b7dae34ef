#include "service/client/svcclient.h"

#include <cstring>

#include "service/interface.h"

namespace {

RPC_BINDING_HANDLE gImplicitHandle = nullptr;

const RPC_CLIENT_INTERFACE kClientInterface = {sizeof(RPC_CLIENT_INTERFACE), &tarnsvc_Desc, &gImplicitHandle};

// Runs one call inside the exception frame: an RPC exception becomes its code.
template <typename... A>
long Call(unsigned short opnum, A... args) {
    long result;
    RpcTryExcept { result = NdrClientCall(&kClientInterface, opnum, args...); }
    RpcExcept(1) { result = long(RpcExceptionCode()); }
    RpcEndExcept
    return result;
}

}  // namespace

RPC_STATUS SvcBind() {
    RPC_CSTR binding = nullptr;
    RPC_STATUS status = RpcStringBindingComposeA(nullptr, (RPC_CSTR)TARNSVC_PROTSEQ, nullptr,
                                                 (RPC_CSTR)TARNSVC_ENDPOINT, nullptr, &binding);
    if (status != RPC_S_OK) return status;
    status = RpcBindingFromStringBindingA(binding, &gImplicitHandle);
    RpcStringFreeA(&binding);
    return status;
}

void SvcUnbind() {
    if (gImplicitHandle) RpcBindingFree(&gImplicitHandle);
    gImplicitHandle = nullptr;
}

long SvcPing() { return Call(OPNUM_SvcPing); }

long SvcQueryDrive(const char* devicePath, const char* rootPath, int64_t* totalBytes, int64_t* freeBytes) {
    return Call(OPNUM_SvcQueryDrive, devicePath, rootPath, totalBytes, freeBytes);
}

long SvcStartImageConversion(const char* sourceFile, const char* targetFile, long encrypt, const char* password) {
    return Call(OPNUM_SvcStartImageConversion, sourceFile, targetFile, encrypt, password);
}

long SvcLockDrive(const char* driveName) { return Call(OPNUM_SvcLockDrive, driveName); }

long SvcUnlockDrive(const char* drive, const char* password, long isFullPath) {
    return Call(OPNUM_SvcUnlockDrive, drive, password, isFullPath);
}

long SvcStartDriveConversion(const char* devicePath, long encrypt, const char* password) {
    return Call(OPNUM_SvcStartDriveConversion, devicePath, encrypt, password);
}

long SvcQuickEncryptDrive(const char* devicePath, const char* password) {
    return Call(OPNUM_SvcQuickEncryptDrive, devicePath, password);
}

long SvcQuickDecryptDrive(const char* devicePath) { return Call(OPNUM_SvcQuickDecryptDrive, devicePath); }

long SvcGetLastMessage(long bufSize, uint8_t* buf) { return Call(OPNUM_SvcGetLastMessage, bufSize, buf); }

long SvcGetProgress() { return Call(OPNUM_SvcGetProgress); }

// A call that fails reads as "not finished yet", so a polling page keeps
// polling until the service answers again.
long SvcGetFinished() {
    long result;
    RpcTryExcept { result = NdrClientCall(&kClientInterface, OPNUM_SvcGetFinished); }
    RpcExcept(1) { result = 0; }
    RpcEndExcept
    return result;
}

long SvcGetResult() { return Call(OPNUM_SvcGetResult); }

long SvcCreateImage(const char* imageFile, int64_t sizeBytes, long fsType, long withPartitionTable,
                    const char* volumeLabel) {
    return Call(OPNUM_SvcCreateImage, imageFile, sizeBytes, fsType, withPartitionTable, volumeLabel);
}

long SvcQueryMount(int driveLetter, VDISK_MOUNT_RECORD* record) {
    uint8_t wire[kMountRecordWireSize] = {};
    long result = Call(OPNUM_SvcQueryMount, char(driveLetter), wire);
    if (result == 0 && record) std::memcpy(record, wire, kMountRecordSize);
    return result;
}

long SvcMountImage(long deviceNumber, const VDISK_MOUNT_RECORD* record, int driveLetter) {
    uint8_t wire[kMountRecordWireSize] = {};
    if (record) std::memcpy(wire, record, kMountRecordSize);
    return Call(OPNUM_SvcMountImage, deviceNumber, wire, char(driveLetter));
}

long SvcUnmountImage(int driveLetter) { return Call(OPNUM_SvcUnmountImage, char(driveLetter)); }

long SvcResumeConversion(const char* target, const char* password, long confirmed) {
    return Call(OPNUM_SvcResumeConversion, target, password, confirmed);
}

long SvcQueryConversion(const char* target, CONVERSION_STATE* state) {
    uint8_t wire[TARNSVC_CONVERSION_STATE_SIZE] = {};
    long result = Call(OPNUM_SvcQueryConversion, target, wire);
    if (result == 0 && state) std::memcpy(state, wire, sizeof *state);
    return result;
}

long SvcPauseConversion() { return Call(OPNUM_SvcPauseConversion); }
