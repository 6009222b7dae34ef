#include "tools/tarnctl/mount_request.h"

#include <arpa/inet.h>

#include <cstring>

#include "tools/tarnctl/utf.h"

namespace tarnctl {

namespace {

constexpr size_t kNameUnits = sizeof(VDISK_MOUNT_RECORD::FileName) / sizeof(uint16_t);

// "\??\" and the path, NUL-terminated, into a 300-unit name field. The
// record is packed, so its fields are reached byte-wise, never through a
// uint16_t pointer that may be misaligned.
bool PutName(const std::string& path, void* field, std::string* why) {
    std::u16string wide;
    if (!Utf8ToUtf16(path, &wide)) {
        *why = "the path is not valid UTF-8";
        return false;
    }
    wide = u"\\??\\" + wide;
    if (wide.size() + 1 > kNameUnits) {
        *why = "the path is too long for a mount (at most " + std::to_string(kNameUnits - 5) + " characters)";
        return false;
    }
    wide.push_back(u'\0');
    std::memcpy(field, wide.data(), wide.size() * sizeof(char16_t));
    return true;
}

std::u16string GetName(const void* field) {
    char16_t units[kNameUnits];
    std::memcpy(units, field, sizeof units);
    std::u16string name;
    for (size_t i = 0; i < kNameUnits && units[i] != 0; ++i) name.push_back(units[i]);
    return name;
}

}  // namespace

bool BuildImageRecord(const std::string& absolutePath, bool cd, bool readOnly, char letter,
                      VDISK_MOUNT_RECORD* record, std::string* why) {
    std::memset(record, 0, sizeof *record);
    record->DiskSize = 0;  // never create the file
    record->ReadOnly = readOnly ? 1 : 0;
    record->DiskKind = cd ? kDiskKindCdImage : 0;
    record->DriveLetter = letter;
    return PutName(absolutePath, record->FileName, why);
}

bool BuildNetRecord(uint32_t address, uint16_t port, const std::string& cachePath, bool readOnly, char letter,
                    VDISK_MOUNT_RECORD* record, std::string* why) {
    std::memset(record, 0, sizeof *record);
    record->ReadOnly = readOnly ? 1 : 0;
    record->DiskKind = kDiskKindNetwork;
    record->ServerAddress = address;
    record->ServerPort = port;
    record->DriveLetter = letter;
    if (cachePath.empty()) return true;
    record->UseLocalCache = 1;
    return PutName(cachePath, record->CacheFileName, why);
}

bool LetterFree(Backend& backend, char letter) {
    return backend.GetDriveType(letter) == kDriveNoRootDir && !backend.LetterOpens(letter);
}

char FindFreeLetter(Backend& backend) {
    for (char letter = kFirstMountLetter; letter <= 'Z'; ++letter) {
        if (LetterFree(backend, letter)) return letter;
    }
    return 0;
}

std::vector<long> FreeDeviceNumbers(Backend& backend) {
    bool used[kDeviceCount] = {};
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        if (backend.GetDriveType(letter) == kDriveNoRootDir) continue;
        VDISK_MOUNT_RECORD record{};
        record.DeviceNumber = -1;
        if (backend.QueryMount(letter, &record) != 0) continue;
        if (record.DeviceNumber >= 0 && record.DeviceNumber < kDeviceCount) used[record.DeviceNumber] = true;
    }
    std::vector<long> free;
    for (long n = 0; n < kDeviceCount; ++n) {
        if (!used[n]) free.push_back(n);
    }
    return free;
}

MountOutcome MountOnFreeDevice(Backend& backend, const VDISK_MOUNT_RECORD& record, char letter) {
    MountOutcome outcome;
    for (long n : FreeDeviceNumbers(backend)) {
        ++outcome.attempts;
        outcome.result = backend.MountImage(n, record, letter);
        if (outcome.result == 0) {
            outcome.deviceNumber = n;
            return outcome;
        }
    }
    return outcome;
}

std::string RecordFileName(const VDISK_MOUNT_RECORD& record) {
    std::u16string name = GetName(record.FileName);
    if (name.rfind(u"\\??\\", 0) == 0) name.erase(0, 4);
    return Utf16ToUtf8(name);
}

std::string RecordServer(const VDISK_MOUNT_RECORD& record) {
    in_addr address{};
    address.s_addr = record.ServerAddress;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(record.ServerPort));
}

std::string DescribeDiskKind(uint32_t kind) {
    if (kind == kDiskKindNetwork) return "net";
    if (kind == kDiskKindCdImage) return "cd";
    return "disk";
}

}  // namespace tarnctl
