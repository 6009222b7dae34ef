// The mount commands: mount an image file or a network disk as a virtual
// drive (and unlock it when it comes up encrypted and locked), unmount, and
// list the virtual drives.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "tools/tarnctl/commands.h"
#include "tools/tarnctl/json.h"
#include "tools/tarnctl/mount_request.h"
#include "tools/tarnctl/status_word.h"
#include "tools/tarnctl/validate.h"

namespace tarnctl {

namespace {

// The letter asked for, or the first free one from D: on.
int ChooseLetter(Context& ctx, const std::string& requested, char* letter) {
    if (requested.empty()) {
        *letter = FindFreeLetter(ctx.backend);
        if (*letter == 0) {
            ctx.err << "tarnctl: no drive letter from D: to Z: is free\n";
            return kExitFailed;
        }
        return kExitOk;
    }
    if (!ParseDriveName(requested, letter)) {
        ctx.err << "tarnctl: \"" << Printable(requested) << "\" is not a drive name; write a letter and a colon, such as E:\n";
        return kExitBadInput;
    }
    if (*letter < kFirstMountLetter) {
        ctx.err << "tarnctl: virtual drives take the letters D: to Z:\n";
        return kExitBadInput;
    }
    if (!LetterFree(ctx.backend, *letter)) {
        ctx.err << "tarnctl: drive " << *letter << ": is in use\n";
        return kExitBadInput;
    }
    return kExitOk;
}

// A new drive that comes up encrypted and locked is unlocked with the password.
int UnlockIfLocked(Context& ctx, const PasswordSource& source, Secret& password, char letter, bool cd) {
    int64_t total = 0, freeBytes = 0;
    const uint32_t status =
        static_cast<uint32_t>(ctx.backend.QueryDrive(DevicePath(letter), DriveName(letter), &total, &freeBytes));
    if (StateOf(status) != kStateLocked || !KnownStatus(status)) return kExitOk;
    ctx.out << "Drive " << letter << ": is encrypted and locked\n";
    if (int result = ReadPasswordLate(ctx, source, PasswordUse::kExisting, &password); result != kExitOk) {
        ctx.err << "tarnctl: drive " << letter << ": stays mounted and locked; unlock it with: tarnctl unlock " << letter
                << ":\n";
        return result;
    }
    const long result = ctx.backend.UnlockDrive(DriveName(letter), password.c_str(), 0);
    password.Clear();
    if (result != 0) {
        ctx.err << "tarnctl: cannot unlock drive " << letter << ":, " << ErrorCodeText(ctx, static_cast<uint32_t>(result))
                << "; it stays mounted and locked\n";
        return kExitFailed;
    }
    const uint32_t after =
        static_cast<uint32_t>(ctx.backend.QueryDrive(DevicePath(letter), DriveName(letter), &total, &freeBytes));
    if (StateOf(after) == kStateUnlocked) {
        ctx.out << "Drive " << letter << ": is unlocked\n";
        return kExitOk;
    }
    // A CD/DVD image's file system is not one the machine reads, so its
    // state cannot tell a right password from a wrong one.
    if (cd) {
        ctx.out << "Drive " << letter << ": has the key; its file system cannot be checked here\n";
        return kExitOk;
    }
    ctx.err << "tarnctl: drive " << letter << ": is still " << DescribeStatus(after)
            << ": the password is wrong, or the image holds no file system this machine reads\n";
    return kExitFailed;
}

}  // namespace

int CmdMount(Context& ctx, const MountOptions& options) {
    const bool net = !options.net.empty();
    const size_t allowed = net ? 1 : 2;
    if ((!net && options.arguments.empty()) || options.arguments.size() > allowed) {
        ctx.err << "tarnctl: mount takes FILE [X:] or --net HOST:PORT [X:]\n";
        return kExitBadInput;
    }
    if (net && options.cd) {
        ctx.err << "tarnctl: a network disk is a disk, not a CD/DVD image\n";
        return kExitBadInput;
    }
    if (!net && !options.cache.empty()) {
        ctx.err << "tarnctl: --cache is for network disks\n";
        return kExitBadInput;
    }
    const std::string requested = net ? (options.arguments.empty() ? "" : options.arguments[0])
                                      : (options.arguments.size() > 1 ? options.arguments[1] : "");
    std::string why, path, cache;
    uint32_t address = 0;
    uint16_t port = 0;
    if (net) {
        if (!ParseNetAddress(options.net, &address, &port, &why) ||
            (!options.cache.empty() && !AbsoluteFilePath(options.cache, &cache, &why))) {
            ctx.err << "tarnctl: " << why << "\n";
            return kExitBadInput;
        }
    } else {
        if (!AbsoluteFilePath(options.arguments[0], &path, &why)) {
            ctx.err << "tarnctl: " << why << "\n";
            return kExitBadInput;
        }
        struct stat st{};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            ctx.err << "tarnctl: " << Printable(path) << " is not an image file\n";
            return kExitBadInput;
        }
    }
    // Needed only when the new drive comes up locked; a bad one from a file
    // still stops the mount before anything is sent.
    Secret password;
    if (int status = ReadPasswordEarly(ctx, options.password, PasswordUse::kExisting, &password); status != kExitOk) {
        return status;
    }
    char letter = 0;
    if (!requested.empty() && !ParseDriveName(requested, &letter)) {
        ctx.err << "tarnctl: \"" << Printable(requested) << "\" is not a drive name; write a letter and a colon, such as E:\n";
        return kExitBadInput;
    }
    if (int status = RequireMachine(ctx); status != kExitOk) return status;
    if (int status = ChooseLetter(ctx, requested, &letter); status != kExitOk) return status;
    VDISK_MOUNT_RECORD record;
    const bool built = net ? BuildNetRecord(address, port, cache, options.readOnly, letter, &record, &why)
                           : BuildImageRecord(path, options.cd, options.readOnly, letter, &record, &why);
    if (!built) {
        ctx.err << "tarnctl: " << why << "\n";
        return kExitBadInput;
    }
    if (int status = RequireService(ctx); status != kExitOk) return status;

    const MountOutcome outcome = MountOnFreeDevice(ctx.backend, record, letter);
    if (outcome.attempts == 0) {
        ctx.err << "tarnctl: all " << kDeviceCount << " virtual drives are in use; unmount one first\n";
        return kExitFailed;
    }
    if (outcome.result != 0) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "Mount error %X, file can not be opened or too many virtual drives mounted.",
                      static_cast<uint32_t>(outcome.result));
        const std::string system = ctx.backend.ErrorText(static_cast<uint32_t>(outcome.result));
        ctx.err << text << (system.empty() ? "" : " (" + system + ")") << "\n";
        return kExitFailed;
    }
    ctx.out << "Mount success: " << letter << ": on virtual drive " << outcome.deviceNumber << "\n";
    return UnlockIfLocked(ctx, options.password, password, letter, options.cd);
}

int CmdUnmount(Context& ctx, const std::string& drive) {
    char letter = 0;
    if (int status = RequireDrive(ctx, drive, &letter); status != kExitOk) return status;
    if (int status = RequireService(ctx); status != kExitOk) return status;
    VDISK_MOUNT_RECORD record{};
    if (ctx.backend.QueryMount(letter, &record) != 0) {
        ctx.err << "tarnctl: drive " << letter << ": is not a virtual drive\n";
        return kExitFailed;
    }
    if (const long result = ctx.backend.UnmountImage(letter); result != 0) {
        SayWhyAViewStaysOpen(ctx, result);
        char text[160];
        std::snprintf(text, sizeof text,
                      "Unmount error %X, the drive may be in use, please close some applications and retry.",
                      static_cast<uint32_t>(result));
        ctx.err << text << "\n";
        return kExitFailed;
    }
    ctx.out << "Unmount success\n";
    return kExitOk;
}

int CmdMounts(Context& ctx, bool json) {
    if (int status = RequireMachine(ctx); status != kExitOk) return status;
    if (int status = RequireService(ctx); status != kExitOk) return status;
    std::ostringstream table, list;
    size_t count = 0;
    table << "DRIVE  DEVICE  KIND  FILE\n";
    list << "[";
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        if (ctx.backend.GetDriveType(letter) == kDriveNoRootDir) continue;
        VDISK_MOUNT_RECORD record{};
        record.DeviceNumber = -1;
        if (ctx.backend.QueryMount(letter, &record) != 0) continue;
        const bool isNet = record.DiskKind == kDiskKindNetwork;
        const std::string file = isNet ? RecordServer(record) : RecordFileName(record);
        char device[16];
        std::snprintf(device, sizeof device, "%d", record.DeviceNumber);
        std::string kind = DescribeDiskKind(record.DiskKind);
        table << letter << ":     " << device << std::string(8 - std::min<size_t>(7, std::strlen(device)), ' ') << kind
              << std::string(6 - kind.size(), ' ') << Printable(file) << (record.ReadOnly ? " (read-only)" : "") << "\n";
        list << (count ? ",\n " : "\n ") << "{\"drive\": " << JsonString(std::string(1, letter) + ":")
             << ", \"device\": " << record.DeviceNumber << ", \"kind\": " << JsonString(kind)
             << ", \"file\": " << JsonString(file) << ", \"read_only\": " << (record.ReadOnly ? "true" : "false") << "}";
        ++count;
    }
    list << (count ? "\n]\n" : "]\n");
    ctx.out << (json ? list.str() : table.str());
    return kExitOk;
}

}  // namespace tarnctl
