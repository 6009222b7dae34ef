// FIXME: stand-in for what the machine (platform/host) will supply through the
// Win32 layer: free space of a mounted file system, drive-letter definitions
// and the service control manager. Each fails as Windows does when the thing
// asked for is not there. Delete once the host is merged.
#pragma once

// Included from service/win32.h, after the Win32 declarations.

#ifndef SERVICE_WIN32_OWN_PROCESS
typedef void* SC_HANDLE;
typedef void* SERVICE_STATUS_HANDLE;
typedef void (*LPSERVICE_MAIN_FUNCTIONA)(DWORD argc, LPSTR* argv);
typedef void (*LPHANDLER_FUNCTION)(DWORD control);

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};

struct SERVICE_TABLE_ENTRYA {
    LPSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};

#define SERVICE_WIN32_OWN_PROCESS 0x10u
#define SERVICE_WIN32_SHARE_PROCESS 0x20u
#define SERVICE_STOPPED 1u
#define SERVICE_START_PENDING 2u
#define SERVICE_RUNNING 4u
#define SERVICE_ACCEPT_STOP 1u
#define SERVICE_ACCEPT_SHUTDOWN 4u
#define SERVICE_CONTROL_STOP 1u
#define SERVICE_CONTROL_SHUTDOWN 5u
#define SC_MANAGER_ALL_ACCESS 0xF003Fu
#define SERVICE_ALL_ACCESS 0xF01FFu
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063L

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR name, LPHANDLER_FUNCTION handler);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status);
SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access);
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access);
BOOL StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR* argv);
BOOL CloseServiceHandle(SC_HANDLE handle);
#endif

#ifndef DDD_RAW_TARGET_PATH
#define DDD_RAW_TARGET_PATH 1u
#define DDD_REMOVE_DEFINITION 2u
#endif
#ifndef ERROR_NOT_SUPPORTED
#define ERROR_NOT_SUPPORTED 50L
#endif

BOOL GetDiskFreeSpaceExA(LPCSTR root, PULARGE_INTEGER available, PULARGE_INTEGER total, PULARGE_INTEGER free);
BOOL DefineDosDeviceA(DWORD flags, LPCSTR name, LPCSTR target);
