// The service's procedures as the server stubs call them (the manager
// routines). They live in their own namespace so that a process may hold the
// server and the client wrappers of the same names, as the tests do.
#pragma once

#include <cstdint>

namespace tarnsvc {

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
long SvcQueryMount(char driveLetter, uint8_t* record);  // 2048 bytes out
long SvcMountImage(long deviceNumber, const uint8_t* record, char driveLetter);  // 2048 bytes in
long SvcUnmountImage(char driveLetter);
// Interrupted conversions: finish one from its journal (target is the
// journalled device path or image file), read its state (32 bytes out, a
// CONVERSION_STATE), and pause the running one at its next durable step.
long SvcResumeConversion(const char* target, const char* password, long confirmed);
long SvcQueryConversion(const char* target, uint8_t* state);
long SvcPauseConversion();

}  // namespace tarnsvc
