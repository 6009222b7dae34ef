// FIXME: stand-in for the Win32 layer (platform/win32), which is being written
// elsewhere. Only what the service calls, on POSIX files; no sharing modes, no
// devices, no registry, no service control manager. Delete with the merge.
#pragma once

#include <cstddef>
#include <cstdint>

typedef void* HANDLE;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef void* LPVOID;
typedef DWORD* LPDWORD;
typedef union {
    struct { DWORD LowPart; LONG HighPart; } u;
    int64_t QuadPart;
} LARGE_INTEGER;
typedef LARGE_INTEGER* PLARGE_INTEGER;
typedef struct _ULARGE_INTEGER { uint64_t QuadPart; } ULARGE_INTEGER, *PULARGE_INTEGER;
typedef void* LPSECURITY_ATTRIBUTES;
typedef void* LPOVERLAPPED;
typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID);
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef uint8_t BYTE;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 1u
#define FILE_SHARE_WRITE 2u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_FLAG_NO_BUFFERING 0x20000000u
#define FILE_FLAG_RANDOM_ACCESS 0x10000000u
#define FILE_BEGIN 0u
#define PAGE_READWRITE 4u
#define SEC_COMMIT 0x8000000u
#define FILE_MAP_WRITE 2u
#define FILE_MAP_READ 4u
#define FILE_MAP_ALL_ACCESS 0xF001Fu
#define FSCTL_SET_SPARSE 0x900C4u
#define FSCTL_LOCK_VOLUME 0x90018u
#define FSCTL_UNLOCK_VOLUME 0x9001Cu
#define FSCTL_DISMOUNT_VOLUME 0x90020u
#define IOCTL_DISK_GET_PARTITION_INFO 0x74004u
#define IOCTL_DISK_IS_WRITABLE 0x70024u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x1000u
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define REG_NONE 0u
#define REG_BINARY 3u
#define KEY_READ 0x20019u

#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_WRITE_PROTECT 19L
#define ERROR_WRITE_FAULT 29L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_HANDLE_EOF 38L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_DISK_FULL 112L
#define ERROR_BUSY 170L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_SERVICE_ALREADY_RUNNING 1056L

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                   DWORD disposition, DWORD flags, HANDLE templ);
BOOL CloseHandle(HANDLE h);
BOOL ReadFile(HANDLE h, LPVOID buf, DWORD n, LPDWORD done, LPOVERLAPPED ov);
BOOL WriteFile(HANDLE h, const void* buf, DWORD n, LPDWORD done, LPOVERLAPPED ov);
BOOL SetFilePointerEx(HANDLE h, LARGE_INTEGER dist, PLARGE_INTEGER newPos, DWORD method);
DWORD SetFilePointer(HANDLE h, LONG low, LONG* high, DWORD method);
BOOL GetFileSizeEx(HANDLE h, PLARGE_INTEGER size);
BOOL SetEndOfFile(HANDLE h);
BOOL DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inLen, LPVOID out, DWORD outLen,
                     LPDWORD returned, LPOVERLAPPED ov);
HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES sa, DWORD protect, DWORD maxHigh,
                          DWORD maxLow, LPCSTR name);
LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offHigh, DWORD offLow, size_t bytes);
BOOL UnmapViewOfFile(const void* view);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES sa, size_t stack, LPTHREAD_START_ROUTINE fn, LPVOID arg,
                    DWORD flags, LPDWORD id);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL SetEvent(HANDLE h);
DWORD WaitForSingleObject(HANDLE h, DWORD ms);
DWORD GetLastError();
void SetLastError(DWORD e);
DWORD FormatMessageA(DWORD flags, const void* source, DWORD id, DWORD lang, LPSTR buf, DWORD size,
                     void* args);
LONG RegCreateKeyA(HKEY key, LPCSTR sub, PHKEY out);
LONG RegOpenKeyExA(HKEY key, LPCSTR sub, DWORD options, DWORD access, PHKEY out);
LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, BYTE* data, LPDWORD size);
LONG RegDeleteValueA(HKEY key, LPCSTR name);
LONG RegCloseKey(HKEY key);
