// The image commands: create-image (an empty FAT disk image, encrypted in
// place right after creation on request, as the Create Image page does) and
// convert-image (encrypt or decrypt an image into another file or in place).
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/tarnctl/commands.h"
#include "tools/tarnctl/progress.h"
#include "tools/tarnctl/validate.h"

namespace tarnctl {

namespace {

bool Exists(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

bool IsRegularFile(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string Printf(const char* format, const std::string& text, uint32_t code) {
    char buffer[4400];
    std::snprintf(buffer, sizeof buffer, format, text.c_str(), code);
    return buffer;
}

}  // namespace

int CmdCreateImage(Context& ctx, const CreateImageOptions& options) {
    std::string path, why, fileSystem;
    long fsType = 0;
    int64_t sizeBytes = 0;
    if (!AbsoluteFilePath(options.file, &path, &why) || !CheckImageSize(options.sizeMiB, &sizeBytes, &why) ||
        !CheckVolumeLabel(options.label, &why)) {
        ctx.err << "tarnctl: " << why << "\n";
        return kExitBadInput;
    }
    if (!ParseFileSystem(options.fileSystem, &fsType, &fileSystem)) {
        ctx.err << "tarnctl: \"" << Printable(options.fileSystem) << "\" is not a file system; use fat or fat32\n";
        return kExitBadInput;
    }
    Secret password;
    if (options.encrypt) {
        if (int status = ReadPasswordEarly(ctx, options.password, PasswordUse::kNew, &password); status != kExitOk) {
            return status;
        }
    }
    if (Exists(path) && !IsRegularFile(path)) {
        ctx.err << "tarnctl: " << Printable(path) << " exists and is not a regular file\n";
        return kExitBadInput;
    }
    if (int status = RequireService(ctx); status != kExitOk) return status;
    if (Exists(path)) {
        if (int status = Confirm(ctx, "The file " + path + " is already exist, do you want overwrite it?", options.yes);
            status != kExitOk) {
            return status;
        }
    }
    // The password comes first, so a mistyped one leaves no unencrypted image behind.
    if (options.encrypt) {
        if (int status = ReadPasswordLate(ctx, options.password, PasswordUse::kNew, &password); status != kExitOk) {
            return status;
        }
    }
    const long created =
        ctx.backend.CreateImage(path, sizeBytes, fsType, options.partitionTable ? 1 : 0, options.label);
    if (created != 0) {
        ctx.err << Printf("An error occurred while creating image file: %s, error code %X.", path,
                          static_cast<uint32_t>(created));
        const std::string text = ctx.backend.ErrorText(static_cast<uint32_t>(created));
        ctx.err << (text.empty() ? "" : " (" + text + ")") << "\n";
        return kExitFailed;
    }
    if (!options.encrypt) {
        ctx.out << "Create disk image complete!\n";
        return kExitOk;
    }
    const long started = ctx.backend.StartImageConversion(path, path, 1, password.c_str());
    password.Clear();
    if (started != 0) {
        ctx.err << Printf("An error occurred while encrypt image file: %s, error code %X", path,
                          static_cast<uint32_t>(started))
                << "; the image was created but is not encrypted\n";
        return kExitFailed;
    }
    return FinishConversion(ctx, "Create and encrypt disk image complete!",
                            "the image is encrypted only up to where the conversion stopped");
}

int CmdConvertImage(Context& ctx, const ConvertImageOptions& options) {
    if (options.encrypt == options.decrypt) {
        ctx.err << "tarnctl: convert-image needs exactly one of --encrypt and --decrypt\n";
        return kExitBadInput;
    }
    std::string source, target, why;
    if (!AbsoluteFilePath(options.source, &source, &why) || !AbsoluteFilePath(options.target, &target, &why)) {
        ctx.err << "tarnctl: " << why << "\n";
        return kExitBadInput;
    }
    const PasswordUse use = options.encrypt ? PasswordUse::kNew : PasswordUse::kExisting;
    Secret password;
    if (int status = ReadPasswordEarly(ctx, options.password, use, &password); status != kExitOk) return status;
    if (!IsRegularFile(source)) {
        ctx.err << "tarnctl: " << Printable(source) << " is not an image file\n";
        return kExitBadInput;
    }
    if (Exists(target) && !IsRegularFile(target)) {
        ctx.err << "tarnctl: " << Printable(target) << " exists and is not a regular file\n";
        return kExitBadInput;
    }
    // Converting in place needs no overwrite question: that is what was asked.
    struct stat a{}, b{};
    const bool inPlace = ::stat(source.c_str(), &a) == 0 && ::stat(target.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
                         a.st_ino == b.st_ino;
    // The service takes names that differ only in case for one file and
    // would convert the source in place instead of writing the target.
    if (!inPlace && strcasecmp(source.c_str(), target.c_str()) == 0) {
        ctx.err << "tarnctl: source and target differ only in case; the service would take them for one file\n";
        return kExitBadInput;
    }
    if (int status = RequireService(ctx); status != kExitOk) return status;
    if (Exists(target) && !inPlace) {
        if (int status = Confirm(ctx, "The destination " + target + " is already exist, do you want overwrite it?",
                                 options.yes);
            status != kExitOk) {
            return status;
        }
    }
    if (int status = ReadPasswordLate(ctx, options.password, use, &password); status != kExitOk) return status;
    // The service writes over an existing target without shortening it, so
    // an older, longer file would keep its tail behind the converted image;
    // the overwrite the user agreed to starts from an empty file. This runs
    // with the user's own rights, after the password was read.
    if (Exists(target) && !inPlace && ::truncate(target.c_str(), 0) != 0) {
        ctx.err << "tarnctl: cannot overwrite " << Printable(target) << ": " << std::strerror(errno) << "\n";
        return kExitFailed;
    }
    // The service converts in place only when both names are equal; the same
    // file under two names would otherwise be read and written through two handles.
    const std::string& destination = inPlace ? source : target;
    const long started = ctx.backend.StartImageConversion(source, destination, options.encrypt ? 1 : 0, password.c_str());
    password.Clear();
    if (started != 0) {
        ctx.err << Printf("An error occured while encrypt image file: %s, error code %X", source,
                          static_cast<uint32_t>(started))
                << "\n";
        return kExitFailed;
    }
    return FinishConversion(ctx, options.encrypt ? "Encrypt cd/dvd image complete!" : "Decrypt cd/dvd image complete!",
                            "the target is converted only up to where the conversion stopped");
}

}  // namespace tarnctl
