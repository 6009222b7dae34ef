// Transfers, file pointer, size and control codes on any handle that is an
// IoObject (files now, devices later).
#include <limits>
#include <optional>

#include "handle_table.h"
#include "io_object.h"
#include "winbase.h"

namespace tarn::win32 {
namespace {

std::shared_ptr<IoObject> IoHandle(HANDLE handle) {
  auto object = LookupHandleAs<IoObject>(handle);
  if (!object) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}

BOOL Finish(DWORD error) {
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

std::optional<uint64_t> OffsetOf(const OVERLAPPED* overlapped) {
  if (!overlapped) return std::nullopt;
  return (uint64_t(overlapped->OffsetHigh) << 32) | overlapped->Offset;
}

void Complete(OVERLAPPED* overlapped, DWORD error, DWORD done) {
  if (!overlapped) return;
  overlapped->Internal = error;
  overlapped->InternalHigh = done;
}

}  // namespace
}  // namespace tarn::win32

using namespace tarn::win32;

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                               LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  auto file = IoHandle(hFile);
  if (!file) return FALSE;
  if (!lpBuffer && nNumberOfBytesToRead) return Finish(ERROR_NOACCESS);
  DWORD done = 0;
  DWORD error = file->Read(lpBuffer, nNumberOfBytesToRead, OffsetOf(lpOverlapped), &done);
  // A positioned read that starts at the end reports it, as on Windows.
  if (error == ERROR_SUCCESS && lpOverlapped && done == 0 && nNumberOfBytesToRead) error = ERROR_HANDLE_EOF;
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = done;
  Complete(lpOverlapped, error, done);
  return Finish(error);
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  auto file = IoHandle(hFile);
  if (!file) return FALSE;
  if (!lpBuffer && nNumberOfBytesToWrite) return Finish(ERROR_NOACCESS);
  DWORD done = 0;
  DWORD error = file->Write(lpBuffer, nNumberOfBytesToWrite, OffsetOf(lpOverlapped), &done);
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
  Complete(lpOverlapped, error, done);
  return Finish(error);
}

extern "C" BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                                       PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod) {
  auto file = IoHandle(hFile);
  if (!file) return FALSE;
  uint64_t position = 0;
  DWORD error = file->Seek(liDistanceToMove.QuadPart, dwMoveMethod, &position);
  if (error == ERROR_SUCCESS && lpNewFilePointer) lpNewFilePointer->QuadPart = static_cast<LONGLONG>(position);
  return Finish(error);
}

extern "C" DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                                       DWORD dwMoveMethod) {
  auto file = IoHandle(hFile);
  if (!file) return INVALID_SET_FILE_POINTER;
  int64_t distance = lDistanceToMove;
  if (lpDistanceToMoveHigh)
    distance = static_cast<int64_t>((uint64_t(uint32_t(*lpDistanceToMoveHigh)) << 32) | uint32_t(lDistanceToMove));
  uint64_t before = 0, position = 0;
  DWORD error = file->Seek(0, FILE_CURRENT, &before);
  if (error == ERROR_SUCCESS) error = file->Seek(distance, dwMoveMethod, &position);
  if (error == ERROR_SUCCESS && !lpDistanceToMoveHigh && position >= 0xFFFFFFFFull) {
    // The caller could not tell such a position from a failure.
    file->Seek(static_cast<int64_t>(before), FILE_BEGIN, &position);
    error = ERROR_INVALID_PARAMETER;
  }
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return INVALID_SET_FILE_POINTER;
  }
  if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(position >> 32);
  DWORD low = static_cast<DWORD>(position);
  if (low == INVALID_SET_FILE_POINTER) SetLastError(ERROR_SUCCESS);
  return low;
}

extern "C" BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
  auto file = IoHandle(hFile);
  if (!file) return FALSE;
  if (!lpFileSize) return Finish(ERROR_NOACCESS);
  uint64_t size = 0;
  DWORD error = file->GetSize(&size);
  if (error == ERROR_SUCCESS) lpFileSize->QuadPart = static_cast<LONGLONG>(size);
  return Finish(error);
}

extern "C" DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  auto file = IoHandle(hFile);
  if (!file) return INVALID_FILE_SIZE;
  uint64_t size = 0;
  if (DWORD error = file->GetSize(&size)) {
    SetLastError(error);
    return INVALID_FILE_SIZE;
  }
  if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
  if (static_cast<DWORD>(size) == INVALID_FILE_SIZE) SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size);
}

extern "C" BOOL WINAPI SetEndOfFile(HANDLE hFile) {
  auto file = IoHandle(hFile);
  if (!file) return FALSE;
  return Finish(file->SetEndOfFileHere());
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  auto file = IoHandle(hFile);
  if (!file) return FALSE;
  return Finish(file->Flush());
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                      DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                      LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  if (lpBytesReturned) *lpBytesReturned = 0;
  auto device = IoHandle(hDevice);
  if (!device) return FALSE;
  if ((!lpInBuffer && nInBufferSize) || (!lpOutBuffer && nOutBufferSize)) return Finish(ERROR_NOACCESS);
  DWORD returned = 0;
  DWORD error =
      device->IoControl(dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, &returned);
  if (lpBytesReturned) *lpBytesReturned = returned;
  Complete(lpOverlapped, error, returned);
  return Finish(error);
}
