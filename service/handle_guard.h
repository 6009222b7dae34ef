// Closes a Win32 handle once when the scope ends.
#pragma once

#include "service/win32.h"

class HandleGuard {
public:
    explicit HandleGuard(HANDLE h = INVALID_HANDLE_VALUE) : H(h) {}
    ~HandleGuard() { Close(); }
    HandleGuard(const HandleGuard&) = delete;
    HandleGuard& operator=(const HandleGuard&) = delete;

    HANDLE Get() const { return H; }
    bool Valid() const { return H != INVALID_HANDLE_VALUE && H != nullptr; }
    // Gives the handle up without closing it.
    HANDLE Release() {
        HANDLE h = H;
        H = INVALID_HANDLE_VALUE;
        return h;
    }
    void Close() {
        if (Valid()) CloseHandle(H);
        H = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE H;
};

// DeviceIoControl with no data in or out; true on success.
inline bool VolumeControl(HANDLE volume, DWORD code) {
    DWORD returned = 0;
    return DeviceIoControl(volume, code, nullptr, 0, nullptr, 0, &returned, nullptr) != FALSE;
}

// Opens a volume as the conversions and the lock do: read and write, shared,
// unbuffered, random access.
inline HANDLE OpenVolume(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_NO_BUFFERING | FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}
