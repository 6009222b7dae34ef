#include "service/file_at.h"

namespace {

bool Seek(HANDLE file, uint64_t position) {
    LARGE_INTEGER at;
    at.QuadPart = int64_t(position);
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) != FALSE;
}

}  // namespace

DWORD WriteAt(HANDLE file, uint64_t position, const uint8_t* data, DWORD length) {
    if (!Seek(file, position)) return GetLastError();
    DWORD written = 0;
    if (!WriteFile(file, data, length, &written, nullptr)) return GetLastError();
    return written == length ? 0 : DWORD(ERROR_DISK_FULL);
}

bool ReadAt(HANDLE file, uint64_t position, uint8_t* data, DWORD length) {
    DWORD got = 0;
    return Seek(file, position) && ReadFile(file, data, length, &got, nullptr) && got == length;
}
