// FIXME: stand-in for the host's part of the Win32 layer; see host_standin.h.
#include "service/win32.h"

namespace {
BOOL Unsupported() {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}
}  // namespace

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA*) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
}
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR, LPHANDLER_FUNCTION) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE, SERVICE_STATUS*) { return Unsupported(); }
SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}
SC_HANDLE OpenServiceA(SC_HANDLE, LPCSTR, DWORD) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}
BOOL StartServiceA(SC_HANDLE, DWORD, LPCSTR*) { return Unsupported(); }
BOOL CloseServiceHandle(SC_HANDLE) { return TRUE; }
BOOL GetDiskFreeSpaceExA(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER) { return Unsupported(); }
BOOL DefineDosDeviceA(DWORD, LPCSTR, LPCSTR) { return Unsupported(); }
