// The drive functions of fileapi.h, answered by the machine.
#include <cctype>
#include <cstring>

#include "fileapi.h"
#include "platform/win32/host_connection.h"
#include "platform/win32/host_drives.h"
#include "winbase.h"
#include "winerror.h"

namespace tarn::win32 {

namespace {

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

std::vector<uint8_t> Body(wire::Writer& w) {
    auto& f = w.Finish();
    return std::vector<uint8_t>(f.begin() + 4, f.end());
}

// One call; ERROR_SUCCESS with the reply, or the Win32 error of the call or of its status.
DWORD Ask(wire::Op op, wire::Writer& args, HostReply& reply) {
    if (DWORD e = CallHost(op, Body(args), reply)) return e;
    return reply.status == 0 ? ERROR_SUCCESS : HostStatusToError(reply.status);
}

// A root as the machine takes it: "X:\" from "X:", "x:\dir", ...; empty for
// anything without a drive letter.
std::string Root(LPCSTR path) {
    if (!path) return "C:\\";  // the current directory's drive: the system drive
    if (std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') {
        return std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])))) + ":\\";
    }
    return "";
}

bool CopyOut(const std::string& s, LPSTR buffer, DWORD size) {
    if (!buffer) return true;
    if (s.size() + 1 > size) return false;
    std::memcpy(buffer, s.c_str(), s.size() + 1);
    return true;
}

}  // namespace

DWORD FormatDrive(char letter, const std::string& fileSystem, const std::string& label) {
    wire::Writer w;
    w.Str(std::string(1, letter) + ":\\");
    w.Str(fileSystem);
    w.Str(label);
    HostReply reply;
    return Ask(wire::Op::Format, w, reply);
}

}  // namespace tarn::win32

using namespace tarn::win32;
namespace wire = tarn::wire;

extern "C" BOOL WINAPI DefineDosDeviceA(DWORD dwFlags, LPCSTR lpDeviceName, LPCSTR lpTargetPath) {
    if (!lpDeviceName || !*lpDeviceName) return Fail(ERROR_INVALID_PARAMETER);
    if (!(dwFlags & DDD_REMOVE_DEFINITION) && !lpTargetPath) return Fail(ERROR_INVALID_PARAMETER);
    wire::Writer w;
    w.U32(dwFlags);
    w.Str(lpDeviceName);
    w.Str(lpTargetPath ? lpTargetPath : "");
    HostReply reply;
    if (DWORD e = Ask(wire::Op::DefineDosDevice, w, reply)) return Fail(e);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" DWORD WINAPI QueryDosDeviceA(LPCSTR lpDeviceName, LPSTR lpTargetPath, DWORD ucchMax) {
    wire::Writer w;
    w.Str(lpDeviceName ? lpDeviceName : "");
    HostReply reply;
    if (DWORD e = Ask(wire::Op::QueryDosDevice, w, reply)) {
        SetLastError(e);
        return 0;
    }
    wire::Reader r(reply.payload.data(), reply.payload.size());
    uint32_t count = 0;
    std::string list;
    if (!r.U32(count)) {
        SetLastError(ERROR_INVALID_DATA);
        return 0;
    }
    for (uint32_t i = 0; i < count; ++i) {
        std::string s;
        if (!r.Str(s)) {
            SetLastError(ERROR_INVALID_DATA);
            return 0;
        }
        list += s;
        list.push_back('\0');
    }
    list.push_back('\0');  // the list's own terminator
    if (!lpTargetPath || list.size() > ucchMax) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpTargetPath, list.data(), list.size());
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(list.size());
}

extern "C" UINT WINAPI GetDriveTypeA(LPCSTR lpRootPathName) {
    const std::string root = Root(lpRootPathName);
    if (root.empty()) return DRIVE_NO_ROOT_DIR;
    wire::Writer w;
    w.Str(root);
    HostReply reply;
    if (Ask(wire::Op::GetDriveType, w, reply)) return DRIVE_NO_ROOT_DIR;
    return static_cast<UINT>(reply.information);
}

extern "C" DWORD WINAPI GetLogicalDrives(void) {
    wire::Writer w;
    HostReply reply;
    if (DWORD e = Ask(wire::Op::GetLogicalDrives, w, reply)) {
        SetLastError(e);
        return 0;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(reply.information);
}

extern "C" BOOL WINAPI GetDiskFreeSpaceExA(LPCSTR lpDirectoryName, PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                                           PULARGE_INTEGER lpTotalNumberOfBytes,
                                           PULARGE_INTEGER lpTotalNumberOfFreeBytes) {
    const std::string root = Root(lpDirectoryName);
    if (root.empty()) return Fail(ERROR_PATH_NOT_FOUND);
    wire::Writer w;
    w.Str(root);
    HostReply reply;
    if (DWORD e = Ask(wire::Op::GetDiskFreeSpace, w, reply)) return Fail(e);
    wire::Reader r(reply.payload.data(), reply.payload.size());
    uint64_t available = 0, total = 0, free = 0;
    if (!r.U64(available) || !r.U64(total) || !r.U64(free)) return Fail(ERROR_INVALID_DATA);
    if (lpFreeBytesAvailableToCaller) lpFreeBytesAvailableToCaller->QuadPart = available;
    if (lpTotalNumberOfBytes) lpTotalNumberOfBytes->QuadPart = total;
    if (lpTotalNumberOfFreeBytes) lpTotalNumberOfFreeBytes->QuadPart = free;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" BOOL WINAPI GetVolumeInformationA(LPCSTR lpRootPathName, LPSTR lpVolumeNameBuffer, DWORD nVolumeNameSize,
                                             LPDWORD lpVolumeSerialNumber, LPDWORD lpMaximumComponentLength,
                                             LPDWORD lpFileSystemFlags, LPSTR lpFileSystemNameBuffer,
                                             DWORD nFileSystemNameSize) {
    const std::string root = Root(lpRootPathName);
    if (root.empty()) return Fail(ERROR_PATH_NOT_FOUND);
    wire::Writer w;
    w.Str(root);
    HostReply reply;
    if (DWORD e = Ask(wire::Op::GetVolumeInfo, w, reply)) return Fail(e);
    wire::Reader r(reply.payload.data(), reply.payload.size());
    std::string label, fileSystem;
    uint32_t serial = 0, maxComponent = 0, flags = 0;
    if (!r.Str(label) || !r.U32(serial) || !r.U32(maxComponent) || !r.U32(flags) || !r.Str(fileSystem)) {
        return Fail(ERROR_INVALID_DATA);
    }
    // Windows fails the whole call when a buffer is too small.
    if (!CopyOut(label, lpVolumeNameBuffer, nVolumeNameSize) ||
        !CopyOut(fileSystem, lpFileSystemNameBuffer, nFileSystemNameSize)) {
        return Fail(ERROR_BAD_LENGTH);
    }
    if (lpVolumeSerialNumber) *lpVolumeSerialNumber = serial;
    if (lpMaximumComponentLength) *lpMaximumComponentLength = maxComponent;
    if (lpFileSystemFlags) *lpFileSystemFlags = flags;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
    static const char kSystemDirectory[] = "C:\\Windows\\system32";
    const UINT length = sizeof(kSystemDirectory) - 1;
    // Too small: the size needed, terminator included, as Windows answers.
    if (!lpBuffer || uSize <= length) return length + 1;
    std::memcpy(lpBuffer, kSystemDirectory, length + 1);
    return length;
}
