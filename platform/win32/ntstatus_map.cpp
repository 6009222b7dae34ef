// NTSTATUS to Win32 error, as the native runtime of Windows translates them.
#include <algorithm>
#include <array>
#include <iterator>

#include "ntstatus_codes.h"
#include "winerror.h"
#include "winternl.h"

namespace tarn::win32 {
namespace {

struct StatusRow {
  uint32_t status;
  DWORD error;
};

namespace s = status;

// Sorted by status for the binary search below.
constexpr StatusRow kTable[] = {
    {s::kTimeout, ERROR_TIMEOUT},
    {s::kPending, ERROR_IO_PENDING},
    {s::kObjectNameExists, ERROR_ALREADY_EXISTS},
    {s::kBufferOverflow, ERROR_MORE_DATA},
    {s::kNoMoreFiles, ERROR_NO_MORE_FILES},
    {s::kDeviceBusy, ERROR_BUSY},
    {s::kVerifyRequired, ERROR_MEDIA_CHANGED},
    {s::kNoMoreEntries, ERROR_NO_MORE_ITEMS},
    {s::kMediaChanged, ERROR_MEDIA_CHANGED},
    {s::kUnsuccessful, ERROR_GEN_FAILURE},
    {s::kNotImplemented, ERROR_INVALID_FUNCTION},
    {s::kInvalidInfoClass, ERROR_INVALID_PARAMETER},
    {s::kInfoLengthMismatch, ERROR_BAD_LENGTH},
    {s::kAccessViolation, ERROR_NOACCESS},
    {s::kInvalidHandle, ERROR_INVALID_HANDLE},
    {s::kInvalidParameter, ERROR_INVALID_PARAMETER},
    {s::kNoSuchDevice, ERROR_FILE_NOT_FOUND},
    {s::kNoSuchFile, ERROR_FILE_NOT_FOUND},
    {s::kInvalidDeviceRequest, ERROR_INVALID_FUNCTION},
    {s::kEndOfFile, ERROR_HANDLE_EOF},
    {s::kWrongVolume, ERROR_WRONG_DISK},
    {s::kNoMediaInDevice, ERROR_NOT_READY},
    {s::kUnrecognizedMedia, ERROR_UNRECOGNIZED_MEDIA},
    {s::kNonexistentSector, ERROR_SECTOR_NOT_FOUND},
    {s::kMoreProcessingRequired, ERROR_MORE_DATA},
    {s::kNoMemory, ERROR_NOT_ENOUGH_MEMORY},
    {s::kConflictingAddresses, ERROR_INVALID_ADDRESS},
    {s::kAccessDenied, ERROR_ACCESS_DENIED},
    {s::kBufferTooSmall, ERROR_INSUFFICIENT_BUFFER},
    {s::kObjectTypeMismatch, ERROR_INVALID_HANDLE},
    {s::kObjectNameInvalid, ERROR_INVALID_NAME},
    {s::kObjectNameNotFound, ERROR_FILE_NOT_FOUND},
    {s::kObjectNameCollision, ERROR_ALREADY_EXISTS},
    {s::kObjectPathInvalid, ERROR_BAD_PATHNAME},
    {s::kObjectPathNotFound, ERROR_PATH_NOT_FOUND},
    {s::kObjectPathSyntaxBad, ERROR_BAD_PATHNAME},
    {s::kDataError, ERROR_CRC},
    {s::kCrcError, ERROR_CRC},
    {s::kSectionTooBig, ERROR_NOT_ENOUGH_MEMORY},
    {s::kSharingViolation, ERROR_SHARING_VIOLATION},
    {s::kFileLockConflict, ERROR_LOCK_VIOLATION},
    {s::kLockNotGranted, ERROR_LOCK_VIOLATION},
    {s::kDeletePending, ERROR_DELETE_PENDING},
    {s::kPrivilegeNotHeld, ERROR_PRIVILEGE_NOT_HELD},
    {s::kDiskFull, ERROR_DISK_FULL},
    {s::kIntegerOverflow, ERROR_ARITHMETIC_OVERFLOW},
    {s::kFileInvalid, ERROR_FILE_INVALID},
    {s::kInsufficientResources, ERROR_NO_SYSTEM_RESOURCES},
    {s::kDeviceDataError, ERROR_CRC},
    {s::kDeviceNotConnected, ERROR_NOT_READY},
    {s::kMediaWriteProtected, ERROR_WRITE_PROTECT},
    {s::kDeviceNotReady, ERROR_NOT_READY},
    {s::kIllegalFunction, ERROR_INVALID_FUNCTION},
    {s::kIoTimeout, ERROR_SEM_TIMEOUT},
    {s::kFileIsADirectory, ERROR_ACCESS_DENIED},
    {s::kNotSupported, ERROR_NOT_SUPPORTED},
    {s::kDeviceDoesNotExist, ERROR_DEV_NOT_EXIST},
    {s::kNotSameDevice, ERROR_NOT_SAME_DEVICE},
    {s::kInvalidUserBuffer, ERROR_INVALID_USER_BUFFER},
    {s::kDirectoryNotEmpty, ERROR_DIR_NOT_EMPTY},
    {s::kNotADirectory, ERROR_DIRECTORY},
    {s::kMappedFileSizeZero, ERROR_FILE_INVALID},
    {s::kTooManyOpenedFiles, ERROR_TOO_MANY_OPEN_FILES},
    {s::kCancelled, ERROR_OPERATION_ABORTED},
    {s::kCannotDelete, ERROR_ACCESS_DENIED},
    {s::kPipeBroken, ERROR_BROKEN_PIPE},
    {s::kUnrecognizedVolume, ERROR_UNRECOGNIZED_VOLUME},
    {s::kNoMedia, ERROR_NOT_READY},
    {s::kDriverInternalError, ERROR_INVALID_FUNCTION},
    {s::kInvalidDeviceState, ERROR_BAD_COMMAND},
    {s::kIoDeviceError, ERROR_IO_DEVICE},
    {s::kInvalidBufferSize, ERROR_INVALID_USER_BUFFER},
    {s::kConnectionReset, ERROR_NETNAME_DELETED},
    {s::kNotFound, ERROR_NOT_FOUND},
    {s::kConnectionRefused, ERROR_CONNECTION_REFUSED},
    {s::kHostUnreachable, ERROR_HOST_UNREACHABLE},
    {s::kVolumeDismounted, ERROR_NOT_READY},
    {s::kFileTooLarge, ERROR_FILE_TOO_LARGE},
};

static_assert(std::is_sorted(std::begin(kTable), std::end(kTable),
                             [](const StatusRow& a, const StatusRow& b) { return a.status < b.status; }),
              "the status table must stay sorted");

constexpr uint32_t kCustomerBit = 0x20000000;
constexpr uint32_t kFacilityMask = 0x0FFF0000;
constexpr uint32_t kFacilityWin32 = 0x00070000;

}  // namespace
}  // namespace tarn::win32

extern "C" ULONG WINAPI RtlNtStatusToDosError(NTSTATUS Status) {
  using namespace tarn::win32;
  auto code = static_cast<uint32_t>(Status);
  if (code == status::kSuccess) return ERROR_SUCCESS;
  // Codes a driver made up are its own business: they pass through unchanged.
  if (code & kCustomerBit) return code;
  // A Win32 error wrapped as a status (facility 7) unwraps to itself.
  if ((code & kFacilityMask) == kFacilityWin32 && (code & 0xC0000000) != 0) return code & 0xFFFF;
  auto it = std::lower_bound(std::begin(kTable), std::end(kTable), code,
                             [](const StatusRow& row, uint32_t c) { return row.status < c; });
  if (it != std::end(kTable) && it->status == code) return it->error;
  return ERROR_MR_MID_NOT_FOUND;
}
