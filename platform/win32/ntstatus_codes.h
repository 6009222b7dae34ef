// The NTSTATUS numbers the Win32 layer translates. Kept here rather than
// shared with the kernel layer: user-mode code depends on nothing below it.
#pragma once

#include <cstdint>

namespace tarn::win32::status {

constexpr uint32_t kSuccess = 0x00000000;
constexpr uint32_t kTimeout = 0x00000102;
constexpr uint32_t kPending = 0x00000103;
constexpr uint32_t kObjectNameExists = 0x40000000;
constexpr uint32_t kBufferOverflow = 0x80000005;
constexpr uint32_t kNoMoreFiles = 0x80000006;
constexpr uint32_t kDeviceBusy = 0x80000011;
constexpr uint32_t kVerifyRequired = 0x80000016;
constexpr uint32_t kNoMoreEntries = 0x8000001A;
constexpr uint32_t kMediaChanged = 0x8000001C;
constexpr uint32_t kUnsuccessful = 0xC0000001;
constexpr uint32_t kNotImplemented = 0xC0000002;
constexpr uint32_t kInvalidInfoClass = 0xC0000003;
constexpr uint32_t kInfoLengthMismatch = 0xC0000004;
constexpr uint32_t kAccessViolation = 0xC0000005;
constexpr uint32_t kInvalidHandle = 0xC0000008;
constexpr uint32_t kInvalidParameter = 0xC000000D;
constexpr uint32_t kNoSuchDevice = 0xC000000E;
constexpr uint32_t kNoSuchFile = 0xC000000F;
constexpr uint32_t kInvalidDeviceRequest = 0xC0000010;
constexpr uint32_t kEndOfFile = 0xC0000011;
constexpr uint32_t kWrongVolume = 0xC0000012;
constexpr uint32_t kNoMediaInDevice = 0xC0000013;
constexpr uint32_t kUnrecognizedMedia = 0xC0000014;
constexpr uint32_t kNonexistentSector = 0xC0000015;
constexpr uint32_t kMoreProcessingRequired = 0xC0000016;
constexpr uint32_t kNoMemory = 0xC0000017;
constexpr uint32_t kConflictingAddresses = 0xC0000018;
constexpr uint32_t kAccessDenied = 0xC0000022;
constexpr uint32_t kBufferTooSmall = 0xC0000023;
constexpr uint32_t kObjectTypeMismatch = 0xC0000024;
constexpr uint32_t kObjectNameInvalid = 0xC0000033;
constexpr uint32_t kObjectNameNotFound = 0xC0000034;
constexpr uint32_t kObjectNameCollision = 0xC0000035;
constexpr uint32_t kObjectPathInvalid = 0xC0000039;
constexpr uint32_t kObjectPathNotFound = 0xC000003A;
constexpr uint32_t kObjectPathSyntaxBad = 0xC000003B;
constexpr uint32_t kDataError = 0xC000003E;
constexpr uint32_t kCrcError = 0xC000003F;
constexpr uint32_t kSectionTooBig = 0xC0000040;
constexpr uint32_t kSharingViolation = 0xC0000043;
constexpr uint32_t kFileLockConflict = 0xC0000054;
constexpr uint32_t kLockNotGranted = 0xC0000055;
constexpr uint32_t kDeletePending = 0xC0000056;
constexpr uint32_t kPrivilegeNotHeld = 0xC0000061;
constexpr uint32_t kDiskFull = 0xC000007F;
constexpr uint32_t kIntegerOverflow = 0xC0000095;
constexpr uint32_t kFileInvalid = 0xC0000098;
constexpr uint32_t kInsufficientResources = 0xC000009A;
constexpr uint32_t kDeviceDataError = 0xC000009C;
constexpr uint32_t kDeviceNotConnected = 0xC000009D;
constexpr uint32_t kMediaWriteProtected = 0xC00000A2;
constexpr uint32_t kDeviceNotReady = 0xC00000A3;
constexpr uint32_t kIllegalFunction = 0xC00000AF;
constexpr uint32_t kIoTimeout = 0xC00000B5;
constexpr uint32_t kFileIsADirectory = 0xC00000BA;
constexpr uint32_t kNotSupported = 0xC00000BB;
constexpr uint32_t kDeviceDoesNotExist = 0xC00000C0;
constexpr uint32_t kNotSameDevice = 0xC00000D4;
constexpr uint32_t kInvalidUserBuffer = 0xC00000E8;
constexpr uint32_t kDirectoryNotEmpty = 0xC0000101;
constexpr uint32_t kNotADirectory = 0xC0000103;
constexpr uint32_t kMappedFileSizeZero = 0xC000011E;
constexpr uint32_t kTooManyOpenedFiles = 0xC000011F;
constexpr uint32_t kCancelled = 0xC0000120;
constexpr uint32_t kCannotDelete = 0xC0000121;
constexpr uint32_t kPipeBroken = 0xC000014B;
constexpr uint32_t kUnrecognizedVolume = 0xC000014F;
constexpr uint32_t kNoMedia = 0xC0000178;
constexpr uint32_t kDriverInternalError = 0xC0000183;
constexpr uint32_t kInvalidDeviceState = 0xC0000184;
constexpr uint32_t kIoDeviceError = 0xC0000185;
constexpr uint32_t kInvalidBufferSize = 0xC0000206;
constexpr uint32_t kConnectionReset = 0xC000020D;
constexpr uint32_t kNotFound = 0xC0000225;
constexpr uint32_t kConnectionRefused = 0xC0000236;
constexpr uint32_t kHostUnreachable = 0xC000023D;
constexpr uint32_t kVolumeDismounted = 0xC000026E;
constexpr uint32_t kFileTooLarge = 0xC0000904;

}  // namespace tarn::win32::status
