// The client side of the service's interface: one process-wide implicit
// binding to "ncalrpc" endpoint "tarnsvc", and one wrapper per procedure.
//
// Every wrapper returns the procedure's result, or, when the call raises
// (service not running, connection broken, fault), the RPC exception code;
// SvcGetFinished returns 0 then, so a polling caller keeps polling.
#pragma once

#include <cstdint>

#include "platform/rpc/rpc.h"
#include "service/conversion_state.h"
#include "service/mount_record.h"

// Composes the string binding and makes the implicit handle. Contacts no
// one, so it succeeds whether or not the service runs. Returns the status of
// the failing call, or 0.
RPC_STATUS SvcBind();
// Frees the implicit handle (tests and orderly exits).
void SvcUnbind();

long SvcPing();
long SvcQueryDrive(const char* devicePath, const char* rootPath, int64_t* totalBytes, int64_t* freeBytes);
long SvcStartImageConversion(const char* sourceFile, const char* targetFile, long encrypt, const char* password);
long SvcLockDrive(const char* driveName);
long SvcUnlockDrive(const char* drive, const char* password, long isFullPath);
long SvcStartDriveConversion(const char* devicePath, long encrypt, const char* password);
long SvcQuickEncryptDrive(const char* devicePath, const char* password);
long SvcQuickDecryptDrive(const char* devicePath);
long SvcGetLastMessage(long bufSize, uint8_t* buf);
long SvcGetProgress();
long SvcGetFinished();
long SvcGetResult();
long SvcCreateImage(const char* imageFile, int64_t sizeBytes, long fsType, long withPartitionTable,
                    const char* volumeLabel);
// The record is copied out only on success; on failure it stays as it was.
// Only the low byte of the letter is sent.
long SvcQueryMount(int driveLetter, VDISK_MOUNT_RECORD* record);
long SvcMountImage(long deviceNumber, const VDISK_MOUNT_RECORD* record, int driveLetter);
long SvcUnmountImage(int driveLetter);
// Interrupted conversions. SvcQueryConversion copies the state out only when
// the call answers 0 (the target has a journal).
long SvcResumeConversion(const char* target, const char* password, long confirmed);
long SvcQueryConversion(const char* target, CONVERSION_STATE* state);
long SvcPauseConversion();
