// FIXME: stand-in for the Win32 layer; see win32_standin.h. Delete with the merge.
#include "service/standin/win32_standin.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace {

thread_local DWORD tLastError = 0;
std::mutex gViewsLock;
std::map<void*, size_t> gViews;

struct Object {
    enum Kind { File, Mapping, Thread, Event } K;
    explicit Object(Kind k) : K(k) {}
    int Fd = -1;
    std::mutex M;
    std::condition_variable Cv;
    bool Signalled = false;
    bool ManualReset = true;
    std::thread T;
};

DWORD FromErrno(int e) {
    switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case EACCES: case EPERM: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    default: return ERROR_WRITE_FAULT;
    }
}

Object* Obj(HANDLE h) { return h == INVALID_HANDLE_VALUE ? nullptr : static_cast<Object*>(h); }
BOOL Fail(DWORD e) { tLastError = e; return FALSE; }

}  // namespace

DWORD GetLastError() { return tLastError; }
void SetLastError(DWORD e) { tLastError = e; }

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD, HANDLE) {
    if (!name || std::strncmp(name, "\\\\.\\", 4) == 0) {
        tLastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    int flags = (access & GENERIC_WRITE) ? ((access & GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
    switch (disposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    default: break;
    }
    int fd = ::open(name, flags | O_CLOEXEC, 0644);
    if (fd < 0) {
        tLastError = FromErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    auto* o = new Object(Object::File);
    o->Fd = fd;
    tLastError = 0;
    return o;
}

BOOL CloseHandle(HANDLE h) {
    Object* o = Obj(h);
    if (!o) return Fail(ERROR_INVALID_HANDLE);
    if (o->K == Object::Thread && o->T.joinable()) o->T.detach();
    if (o->Fd >= 0) ::close(o->Fd);
    delete o;
    return TRUE;
}

BOOL ReadFile(HANDLE h, LPVOID buf, DWORD n, LPDWORD done, LPOVERLAPPED) {
    Object* o = Obj(h);
    if (!o || o->Fd < 0) return Fail(ERROR_INVALID_HANDLE);
    ssize_t r = ::read(o->Fd, buf, n);
    if (r < 0) return Fail(FromErrno(errno));
    if (done) *done = DWORD(r);
    return TRUE;
}

BOOL WriteFile(HANDLE h, const void* buf, DWORD n, LPDWORD done, LPOVERLAPPED) {
    Object* o = Obj(h);
    if (!o || o->Fd < 0) return Fail(ERROR_INVALID_HANDLE);
    ssize_t r = ::write(o->Fd, buf, n);
    if (r < 0) return Fail(FromErrno(errno));
    if (done) *done = DWORD(r);
    return TRUE;
}

BOOL SetFilePointerEx(HANDLE h, LARGE_INTEGER dist, PLARGE_INTEGER newPos, DWORD method) {
    Object* o = Obj(h);
    if (!o || o->Fd < 0) return Fail(ERROR_INVALID_HANDLE);
    off_t r = ::lseek(o->Fd, dist.QuadPart, method == FILE_BEGIN ? SEEK_SET : method == 1 ? SEEK_CUR : SEEK_END);
    if (r < 0) return Fail(FromErrno(errno));
    if (newPos) newPos->QuadPart = r;
    return TRUE;
}

DWORD SetFilePointer(HANDLE h, LONG low, LONG* high, DWORD method) {
    LARGE_INTEGER d;
    d.QuadPart = high ? (int64_t(*high) << 32) | uint32_t(low) : int64_t(low);
    LARGE_INTEGER n;
    if (!SetFilePointerEx(h, d, &n, method)) return 0xFFFFFFFFu;
    if (high) *high = LONG(n.QuadPart >> 32);
    return DWORD(n.QuadPart);
}

BOOL GetFileSizeEx(HANDLE h, PLARGE_INTEGER size) {
    Object* o = Obj(h);
    struct stat st;
    if (!o || o->Fd < 0) return Fail(ERROR_INVALID_HANDLE);
    if (::fstat(o->Fd, &st) != 0) return Fail(FromErrno(errno));
    size->QuadPart = st.st_size;
    return TRUE;
}

BOOL SetEndOfFile(HANDLE h) {
    Object* o = Obj(h);
    if (!o || o->Fd < 0) return Fail(ERROR_INVALID_HANDLE);
    off_t pos = ::lseek(o->Fd, 0, SEEK_CUR);
    if (pos < 0 || ::ftruncate(o->Fd, pos) != 0) return Fail(FromErrno(errno));
    return TRUE;
}

BOOL DeviceIoControl(HANDLE h, DWORD code, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    Object* o = Obj(h);
    if (!o) return Fail(ERROR_INVALID_HANDLE);
    if (code == FSCTL_SET_SPARSE) return TRUE;
    return Fail(ERROR_INVALID_FUNCTION);
}

HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD, DWORD, DWORD, LPCSTR) {
    Object* f = Obj(file);
    if (!f || f->Fd < 0) {
        tLastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    auto* o = new Object(Object::Mapping);
    o->Fd = ::dup(f->Fd);
    return o;
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD, DWORD offHigh, DWORD offLow, size_t bytes) {
    Object* o = Obj(mapping);
    if (!o || o->Fd < 0) {
        tLastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    off_t off = (off_t(offHigh) << 32) | offLow;
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, o->Fd, off);
    if (p == MAP_FAILED) {
        tLastError = FromErrno(errno);
        return nullptr;
    }
    std::lock_guard<std::mutex> g(gViewsLock);
    gViews[p] = bytes;
    return p;
}

BOOL UnmapViewOfFile(const void* view) {
    std::lock_guard<std::mutex> g(gViewsLock);
    auto it = gViews.find(const_cast<void*>(view));
    if (it == gViews.end()) return Fail(ERROR_INVALID_PARAMETER);
    ::munmap(it->first, it->second);
    gViews.erase(it);
    return TRUE;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE fn, LPVOID arg, DWORD, LPDWORD) {
    auto* o = new Object(Object::Thread);
    o->T = std::thread([o, fn, arg] {
        fn(arg);
    });
    return o;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR) {
    auto* o = new Object(Object::Event);
    o->ManualReset = manualReset;
    o->Signalled = initialState;
    return o;
}

BOOL SetEvent(HANDLE h) {
    Object* o = Obj(h);
    if (!o) return Fail(ERROR_INVALID_HANDLE);
    std::lock_guard<std::mutex> g(o->M);
    o->Signalled = true;
    o->Cv.notify_all();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE h, DWORD) {
    Object* o = Obj(h);
    if (!o) return 0xFFFFFFFFu;
    if (o->K == Object::Thread) {
        if (o->T.joinable()) o->T.join();
        return WAIT_OBJECT_0;
    }
    std::unique_lock<std::mutex> g(o->M);
    o->Cv.wait(g, [o] { return o->Signalled; });
    if (!o->ManualReset) o->Signalled = false;
    return WAIT_OBJECT_0;
}

DWORD FormatMessageA(DWORD, const void*, DWORD id, DWORD, LPSTR buf, DWORD size, void*) {
    int n = std::snprintf(buf, size, "Error %u.\r\n", unsigned(id));
    return n < 0 ? 0 : DWORD(n);
}

LONG RegCreateKeyA(HKEY, LPCSTR, PHKEY) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG RegOpenKeyExA(HKEY, LPCSTR, DWORD, DWORD, PHKEY) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG RegSetValueExA(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, BYTE*, LPDWORD) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG RegDeleteValueA(HKEY, LPCSTR) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG RegCloseKey(HKEY) { return ERROR_SUCCESS; }
