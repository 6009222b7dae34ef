// The drive commands: encrypt, decrypt, lock, unlock, quick-encrypt,
// quick-decrypt and format, each the desktop program's Disk Encryption page
// action with its confirmations and checks of the drive's state.
#include <cstdio>

#include "tools/tarnctl/commands.h"
#include "tools/tarnctl/progress.h"
#include "tools/tarnctl/status_word.h"
#include "tools/tarnctl/validate.h"

namespace tarnctl {

namespace {

constexpr int64_t kGiB = 1073741824;

// What every drive command starts with: the drive exists, the service
// answers, and the drive's status word is one the service gives.
struct DriveInfo {
    char letter = 0;
    uint32_t status = 0;
    int64_t totalBytes = 0;
};

int Prepare(Context& ctx, const std::string& drive, DriveInfo* info) {
    if (int status = RequireDrive(ctx, drive, &info->letter); status != kExitOk) return status;
    if (int status = RequireService(ctx); status != kExitOk) return status;
    int64_t freeBytes = 0;
    info->status = static_cast<uint32_t>(
        ctx.backend.QueryDrive(DevicePath(info->letter), DriveName(info->letter), &info->totalBytes, &freeBytes));
    if (!KnownStatus(info->status)) {
        ctx.err << "tarnctl: cannot read the state of drive " << info->letter << ":, "
                << ErrorCodeText(ctx, info->status) << "\n";
        return kExitFailed;
    }
    return kExitOk;
}

int RefuseSystemDrive(Context& ctx, const DriveInfo& info) {
    if (info.letter != ctx.backend.SystemDrive()) return kExitOk;
    ctx.err << "tarnctl: drive " << info.letter << ": is the system drive; it cannot be encrypted, decrypted, locked or formatted\n";
    return kExitFailed;
}

int WrongState(Context& ctx, const DriveInfo& info, const char* needed) {
    ctx.err << "tarnctl: drive " << info.letter << ": is " << DescribeStatus(info.status) << "; this needs a drive that is "
            << needed << "\n";
    return kExitFailed;
}

std::string Format(const char* format, const std::string& drive, double value) {
    char text[256];
    std::snprintf(text, sizeof text, format, drive.c_str(), value);
    return text;
}

// The desktop program's question before a conversion, by size.
std::string ConversionQuestion(const DriveInfo& info, bool encrypt) {
    const std::string drive = DriveName(info.letter);
    const double size = static_cast<double>(info.totalBytes);
    if (info.totalBytes <= kGiB) {
        return Format(encrypt ? "The drive %s contain more than %.3f MB of data, encrypt it may take a moment , do you "
                                "ensure to encrypt it? "
                              : "The drive %s contain more than %.3f MB of data, decrypt it may take a moment , do you "
                                "ensure to encrypt it? ",
                      drive, size / 1048576.0);
    }
    return Format(encrypt ? "The drive %s contain more than %.1f GB of data, encrypt it may take long of time. while "
                            "the encrypting, you can't stop it, do you ensure to encrypt it? "
                          : "The drive %s contain more than %.1f GB of data, decrypt it may take long of time. while "
                            "the encrypting, you can't stop it, do you ensure to encrypt it? ",
                  drive, size / static_cast<double>(kGiB));
}

// Reads the status again after a change.
uint32_t QueryAgain(Context& ctx, char letter) {
    int64_t total = 0, freeBytes = 0;
    return static_cast<uint32_t>(ctx.backend.QueryDrive(DevicePath(letter), DriveName(letter), &total, &freeBytes));
}

int Convert(Context& ctx, const DriveOptions& options, bool encrypt) {
    // Decryption reads through the key the filter already holds; the
    // service takes no password for it.
    Secret password;
    if (encrypt) {
        if (int status = ReadPasswordEarly(ctx, options.password, PasswordUse::kNew, &password); status != kExitOk) {
            return status;
        }
    }
    DriveInfo info;
    if (int status = Prepare(ctx, options.drive, &info); status != kExitOk) return status;
    if (int status = RefuseSystemDrive(ctx, info); status != kExitOk) return status;
    const uint32_t needed = encrypt ? kStatePlain : kStateUnlocked;
    if (StateOf(info.status) != needed || !WritableStatus(info.status)) {
        return WrongState(ctx, info, encrypt ? "plain and writable" : "encrypted, unlocked and writable");
    }
    if (int status = Confirm(ctx, ConversionQuestion(info, encrypt), options.yes); status != kExitOk) return status;
    if (encrypt) {
        if (int status = ReadPasswordLate(ctx, options.password, PasswordUse::kNew, &password); status != kExitOk) {
            return status;
        }
    }
    const long started = ctx.backend.StartDriveConversion(DevicePath(info.letter), encrypt ? 1 : 0, password.c_str());
    password.Clear();
    if (started != 0) {
        SayWhyAViewStaysOpen(ctx, started);
        ctx.err << (encrypt ? "Can't encrypt this drive, " : "Can't decrypt this drive, ")
                << ErrorCodeText(ctx, static_cast<uint32_t>(started)) << "\n";
        return kExitFailed;
    }
    return FinishConversion(ctx, encrypt ? "Encrypt disk complete!" : "Decrypt disk complete!",
                            "the drive is converted only up to where the conversion stopped");
}

}  // namespace

int CmdEncrypt(Context& ctx, const DriveOptions& options) { return Convert(ctx, options, true); }
int CmdDecrypt(Context& ctx, const DriveOptions& options) { return Convert(ctx, options, false); }

int CmdLock(Context& ctx, const DriveOptions& options) {
    DriveInfo info;
    if (int status = Prepare(ctx, options.drive, &info); status != kExitOk) return status;
    if (int status = RefuseSystemDrive(ctx, info); status != kExitOk) return status;
    if (StateOf(info.status) != kStateUnlocked) return WrongState(ctx, info, "encrypted and unlocked");
    if (const long result = ctx.backend.LockDrive(DriveName(info.letter)); result != 0) {
        SayWhyAViewStaysOpen(ctx, result);
        ctx.err << "tarnctl: cannot lock drive " << info.letter << ":, " << ErrorCodeText(ctx, static_cast<uint32_t>(result))
                << "; the drive may be in use\n";
        return kExitFailed;
    }
    ctx.out << "Drive " << info.letter << ": is locked\n";
    return kExitOk;
}

int CmdUnlock(Context& ctx, const DriveOptions& options) {
    Secret password;
    if (int status = ReadPasswordEarly(ctx, options.password, PasswordUse::kExisting, &password); status != kExitOk) {
        return status;
    }
    DriveInfo info;
    if (int status = Prepare(ctx, options.drive, &info); status != kExitOk) return status;
    if (int status = RefuseSystemDrive(ctx, info); status != kExitOk) return status;
    if (StateOf(info.status) != kStateLocked) return WrongState(ctx, info, "encrypted and locked");
    if (int status = ReadPasswordLate(ctx, options.password, PasswordUse::kExisting, &password); status != kExitOk) {
        return status;
    }
    const long result = ctx.backend.UnlockDrive(DriveName(info.letter), password.c_str(), 0);
    password.Clear();
    if (result != 0) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "Shroudkeep encounter an error %lx while unlock the disk, the drive may be in use !",
                      static_cast<unsigned long>(static_cast<uint32_t>(result)));
        ctx.err << text << "\n";
        return kExitFailed;
    }
    // The service does not check the password; whether the file system now
    // reads tells.
    const uint32_t after = QueryAgain(ctx, info.letter);
    if (StateOf(after) != kStateUnlocked) {
        ctx.err << "tarnctl: drive " << info.letter << ": is still " << DescribeStatus(after)
                << ": the password is wrong, or the drive holds no file system this machine reads\n";
        return kExitFailed;
    }
    ctx.out << "Drive " << info.letter << ": is unlocked\n";
    return kExitOk;
}

int CmdQuickEncrypt(Context& ctx, const DriveOptions& options) {
    Secret password;
    if (int status = ReadPasswordEarly(ctx, options.password, PasswordUse::kNew, &password); status != kExitOk) {
        return status;
    }
    DriveInfo info;
    if (int status = Prepare(ctx, options.drive, &info); status != kExitOk) return status;
    if (int status = RefuseSystemDrive(ctx, info); status != kExitOk) return status;
    if (StateOf(info.status) != kStatePlain || !WritableStatus(info.status)) {
        return WrongState(ctx, info, "plain and writable");
    }
    if (int status = Confirm(ctx,
                             "Quick Encrypt will erase this drive quickly with encryption format. after that all the "
                             "date on this drive will be destroyed! do you want to continue?",
                             options.yes);
        status != kExitOk) {
        return status;
    }
    if (int status = ReadPasswordLate(ctx, options.password, PasswordUse::kNew, &password); status != kExitOk) {
        return status;
    }
    if (const long result = ctx.backend.QuickEncryptDrive(DevicePath(info.letter), password.c_str()); result != 0) {
        SayWhyAViewStaysOpen(ctx, result);
        ctx.err << "Can't quick encrypt this disk! " << ErrorCodeText(ctx, static_cast<uint32_t>(result)) << "\n";
        return kExitFailed;
    }
    if (const long result = ctx.backend.UnlockDrive(DriveName(info.letter), password.c_str(), 0); result != 0) {
        ctx.err << "Can't unlock this disk! " << ErrorCodeText(ctx, static_cast<uint32_t>(result)) << "\n";
        return kExitFailed;
    }
    ctx.out << "Drive " << info.letter << ": is encrypted, unlocked and empty; write a file system on it with: tarnctl format "
            << info.letter << ":\n";
    return kExitOk;
}

int CmdQuickDecrypt(Context& ctx, const DriveOptions& options) {
    DriveInfo info;
    if (int status = Prepare(ctx, options.drive, &info); status != kExitOk) return status;
    if (int status = RefuseSystemDrive(ctx, info); status != kExitOk) return status;
    if (StateOf(info.status) != kStateUnlocked || !WritableStatus(info.status)) {
        return WrongState(ctx, info, "encrypted, unlocked and writable");
    }
    if (int status = Confirm(ctx,
                             "Quick Decrypt will erase this drive quickly with normal format. after that all the date "
                             "on this drive will be destroyed! do you want to continue?",
                             options.yes);
        status != kExitOk) {
        return status;
    }
    if (const long result = ctx.backend.QuickDecryptDrive(DevicePath(info.letter)); result != 0) {
        const std::string message = ctx.backend.LastMessage();
        if (!message.empty()) ctx.err << message << "\n";
        ctx.err << "tarnctl: quick decryption failed, " << ErrorCodeText(ctx, static_cast<uint32_t>(result)) << "\n";
        return kExitFailed;
    }
    ctx.out << "Drive " << info.letter << ": is plain and empty; write a file system on it with: tarnctl format "
            << info.letter << ":\n";
    return kExitOk;
}

int CmdFormat(Context& ctx, const FormatOptions& options) {
    long fsType = 0;
    std::string fileSystem, why;
    if (!ParseFileSystem(options.fileSystem, &fsType, &fileSystem)) {
        ctx.err << "tarnctl: \"" << Printable(options.fileSystem) << "\" is not a file system; use fat or fat32\n";
        return kExitBadInput;
    }
    if (!CheckVolumeLabel(options.label, &why)) {
        ctx.err << "tarnctl: " << why << "\n";
        return kExitBadInput;
    }
    DriveInfo info;
    if (int status = Prepare(ctx, options.drive, &info); status != kExitOk) return status;
    if (int status = RefuseSystemDrive(ctx, info); status != kExitOk) return status;
    // A locked drive refuses writes, and writing a plain file system there
    // would not unlock it anyway. After a quick encryption the drive holds
    // the key but no file system, so it reads as locked until formatted;
    // the machine's format call tells the two apart by failing on the first.
    if (int status = Confirm(ctx,
                             "Formatting drive " + DriveName(info.letter) + " erases everything on it. Write an empty " +
                                 fileSystem + " file system?",
                             options.yes);
        status != kExitOk) {
        return status;
    }
    if (const uint32_t error = ctx.backend.FormatDrive(info.letter, fileSystem, options.label); error != 0) {
        ctx.err << "tarnctl: cannot format drive " << info.letter << ":, " << ErrorCodeText(ctx, error) << "\n";
        return kExitFailed;
    }
    ctx.out << "Drive " << info.letter << ": holds an empty " << fileSystem << " file system\n";
    return kExitOk;
}

}  // namespace tarnctl
