// open and close: a drive's files mounted in a directory for ordinary Linux
// programs (FAT through fusefat, ext2/3/4 through a loop device, both over
// the drive's block file), and unmounted again.
#include <filesystem>

#include "tools/tarnctl/commands.h"
#include "tools/tarnctl/status_word.h"
#include "tools/tarnctl/validate.h"

namespace tarnctl {

namespace {

std::string Normal(const std::string& path) {
    std::error_code ec;
    const auto absolute = std::filesystem::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
}

bool SameDirectory(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (std::filesystem::equivalent(a, b, ec)) return true;
    return Normal(a) == Normal(b);
}

int RefuseLocked(Context& ctx, char letter) {
    // Without the service the view library's own check still refuses a
    // drive that shows no file system.
    if (ctx.backend.Ping() != 0) return kExitOk;
    int64_t total = 0, freeBytes = 0;
    const auto status =
        static_cast<uint32_t>(ctx.backend.QueryDrive(DevicePath(letter), DriveName(letter), &total, &freeBytes));
    // A conversion cut short leaves part of the drive in each form: its
    // files are neither readable nor safe to write until it is resumed.
    CONVERSION_STATE conversion{};
    if (ctx.backend.QueryConversion(DevicePath(letter), &conversion) == 0) {
        ctx.err << "tarnctl: drive " << letter << ": has an interrupted conversion; finish it first with: tarnctl resume "
                << letter << ":\n";
        return kExitFailed;
    }
    if (!KnownStatus(status) || StateOf(status) != kStateLocked) return kExitOk;
    ctx.err << "tarnctl: drive " << letter << ": is encrypted and locked; unlock it first with: tarnctl unlock "
            << letter << ":\n";
    return kExitFailed;
}

}  // namespace

int CmdOpen(Context& ctx, const ViewOptions& options) {
    char letter = 0;
    if (int status = RequireDrive(ctx, options.drive, &letter); status != kExitOk) return status;
    if (const auto open = ctx.backend.FileSystemViews(letter); !open.empty()) {
        if (options.directory.empty() || SameDirectory(options.directory, open.front())) {
            ctx.out << "Drive " << letter << ": is already open in " << open.front() << "\n";
            return kExitOk;
        }
        ctx.err << "tarnctl: drive " << letter << ": is already open in " << open.front()
                << "; close it first with: tarnctl close " << letter << ":\n";
        return kExitFailed;
    }
    if (int status = RefuseLocked(ctx, letter); status != kExitOk) return status;

    std::string directory = options.directory.empty() ? ctx.backend.DefaultViewDirectory(letter) : options.directory;
    if (directory.empty()) {
        ctx.err << "tarnctl: name the directory to open drive " << letter << ": in\n";
        return kExitBadInput;
    }
    directory = Normal(directory);
    if (const std::string why = ctx.backend.OpenFileSystemView(letter, directory); !why.empty()) {
        ctx.err << "tarnctl: " << why << "\n";
        return kExitFailed;
    }
    ctx.out << "Drive " << letter << ": is open in " << directory << "\n";
    return kExitOk;
}

int CmdClose(Context& ctx, const std::string& drive) {
    char letter = 0;
    // No machine needed: a view may outlive the drive it was opened on.
    if (!ParseDriveName(drive, &letter)) {
        ctx.err << "tarnctl: \"" << Printable(drive) << "\" is not a drive name; write a letter and a colon, such as E:\n";
        return kExitBadInput;
    }
    if (ctx.backend.FileSystemViews(letter).empty()) {
        ctx.out << "Drive " << letter << ": is not open\n";
        return kExitOk;
    }
    if (const std::string why = ctx.backend.CloseFileSystemViews(letter); !why.empty()) {
        ctx.err << "tarnctl: " << why << "\n";
        return kExitFailed;
    }
    ctx.out << "Drive " << letter << ": is closed\n";
    return kExitOk;
}

}  // namespace tarnctl
