// tarnctl: the command-line client of the service, for headless machines,
// scripts and tests.
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include <CLI/CLI.hpp>

#include "platform/win32/nt_path.h"
#include "service/client/svcclient.h"
#include "tools/tarnctl/backend_live.h"
#include "tools/tarnctl/commands.h"

namespace {

using namespace tarnctl;

constexpr const char* kExitStatuses =
    "Exit status:\n"
    "  0  done\n"
    "  1  the service or the machine reported a failure, or the drive's state does not allow the operation\n"
    "  2  bad input (a drive that does not exist, a bad name, size, label or password); nothing was sent\n"
    "  3  the machine or the service does not answer\n"
    "  4  not confirmed; nothing was done\n"
    "  5  interrupted while following a conversion; the conversion goes on in the service\n"
    "\n"
    "A conversion cut short (a crash, a power cut, tarnctl pause) shows in tarnctl status as\n"
    "\"Interrupted: N% encrypted\"; tarnctl resume X: (or FILE) finishes it.\n"
    "\n"
    "Passwords are read from the terminal without echo (twice for a new one), from the first line of\n"
    "--password-file FILE, or from the first line of standard input with --password-stdin; never from\n"
    "the command line.";

void AddPasswordOptions(CLI::App* command, PasswordSource* source) {
    auto* file = command->add_option("--password-file", source->file, "read the password from the first line of FILE");
    auto* in = command->add_flag("--password-stdin", source->fromStdin, "read the password from standard input");
    file->excludes(in);
}

void AddYes(CLI::App* command, bool* yes) { command->add_flag("-y,--yes", *yes, "do not ask for confirmation"); }

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"tarnctl: encrypt, lock, unlock and convert drives, create and mount images, through the service"};
    app.footer(kExitStatuses);
    app.require_subcommand(1);
    std::string machine;
    app.add_option("--machine", machine, "machine directory (default: TARNVAULT_MACHINE or the state directory)");

    app.add_subcommand("ping", "check that the service answers");

    StatusOptions status;
    auto* statusCmd = app.add_subcommand("status", "show the drives: type, encryption state, size, file system, label");
    statusCmd->add_option("drive", status.drive, "only this drive, such as E:");
    statusCmd->add_flag("--json", status.json, "write JSON");

    DriveOptions drive;
    struct DriveCommand {
        const char* name;
        const char* help;
        int (*run)(Context&, const DriveOptions&);
        bool confirms;
        bool password;
    };
    const DriveCommand driveCommands[] = {
        {"encrypt", "encrypt a drive in place, keeping its data", CmdEncrypt, true, true},
        {"decrypt", "decrypt an unlocked drive in place, keeping its data", CmdDecrypt, true, false},
        {"lock", "forget the key of an unlocked drive", CmdLock, false, false},
        {"unlock", "give a locked drive its key", CmdUnlock, false, true},
        {"quick-encrypt", "erase a drive into an empty encrypted one (format it afterwards)", CmdQuickEncrypt, true, true},
        {"quick-decrypt", "erase an unlocked drive into an empty plain one (format it afterwards)", CmdQuickDecrypt, true,
         false},
    };
    std::vector<std::pair<CLI::App*, const DriveCommand*>> driveApps;
    for (const auto& c : driveCommands) {
        auto* command = app.add_subcommand(c.name, c.help);
        command->add_option("drive", drive.drive, "the drive, such as E:")->required();
        if (c.confirms) AddYes(command, &drive.yes);
        if (c.password) AddPasswordOptions(command, &drive.password);
        driveApps.emplace_back(command, &c);
    }

    FormatOptions format;
    auto* formatCmd = app.add_subcommand("format", "write an empty FAT file system on a plain or unlocked drive");
    formatCmd->add_option("drive", format.drive, "the drive, such as E:")->required();
    formatCmd->add_option("--fs", format.fileSystem, "fat or fat32 (default fat32)");
    formatCmd->add_option("--label", format.label, "volume label, at most 11 characters");
    AddYes(formatCmd, &format.yes);

    CreateImageOptions create;
    auto* createCmd = app.add_subcommand("create-image", "create a disk image file with an empty FAT file system");
    createCmd->add_option("file", create.file, "the image file")->required();
    createCmd->add_option("--size", create.sizeMiB, "size in MiB")->required();
    createCmd->add_option("--fs", create.fileSystem, "fat or fat32 (default fat)");
    createCmd->add_flag("--partition-table", create.partitionTable, "put a partition table in front of the volume");
    createCmd->add_option("--label", create.label, "volume label, at most 11 characters (default \"DEFAULT VOL\")");
    createCmd->add_flag("--encrypt", create.encrypt, "encrypt the image right after creating it");
    AddYes(createCmd, &create.yes);
    AddPasswordOptions(createCmd, &create.password);

    ConvertImageOptions convert;
    auto* convertCmd = app.add_subcommand("convert-image", "encrypt or decrypt an image file (such as an ISO file)");
    convertCmd->add_option("source", convert.source, "the image to read")->required();
    convertCmd->add_option("target", convert.target, "the image to write (the same name converts in place)")->required();
    auto* enc = convertCmd->add_flag("--encrypt", convert.encrypt, "encrypt");
    auto* dec = convertCmd->add_flag("--decrypt", convert.decrypt, "decrypt");
    enc->excludes(dec);
    AddYes(convertCmd, &convert.yes);
    AddPasswordOptions(convertCmd, &convert.password);

    MountOptions mount;
    auto* mountCmd = app.add_subcommand("mount", "mount an image file or a network disk as a virtual drive");
    mountCmd->add_option("args", mount.arguments, "FILE [X:], or [X:] with --net (default letter: the first free from D:)");
    mountCmd->add_option("--net", mount.net, "mount the network disk at HOST:PORT");
    mountCmd->add_option("--cache", mount.cache, "keep a network disk's writes in this local file");
    mountCmd->add_flag("--cd", mount.cd, "the image is a CD/DVD image");
    mountCmd->add_flag("--read-only", mount.readOnly, "mount read-only");
    AddPasswordOptions(mountCmd, &mount.password);

    ResumeOptions resume;
    auto* resumeCmd = app.add_subcommand("resume", "finish an interrupted conversion of a drive or an image file");
    resumeCmd->add_option("target", resume.target, "the drive, such as E:, or the image file")->required();
    AddYes(resumeCmd, &resume.yes);
    AddPasswordOptions(resumeCmd, &resume.password);

    auto* pauseCmd = app.add_subcommand("pause", "pause the running conversion at its next chunk boundary");

    std::string unmountDrive;
    auto* unmountCmd = app.add_subcommand("unmount", "unmount a virtual drive");
    unmountCmd->add_option("drive", unmountDrive, "the drive, such as E:")->required();

    bool mountsJson = false;
    auto* mountsCmd = app.add_subcommand("mounts", "list the virtual drives");
    mountsCmd->add_flag("--json", mountsJson, "write JSON");

    ViewOptions open;
    auto* openCmd = app.add_subcommand("open", "mount a drive's files in a directory for Linux programs");
    openCmd->add_option("drive", open.drive, "the drive, such as E:")->required();
    openCmd->add_option("directory", open.directory, "where its files appear (default: ~/Tarnvault/X)");

    std::string closeDrive;
    auto* closeCmd = app.add_subcommand("close", "unmount what open mounted");
    closeCmd->add_option("drive", closeDrive, "the drive, such as E:")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitBadInput;
    }

    // The Win32 layer and the RPC runtime both find the machine here.
    if (!machine.empty()) ::setenv("TARNVAULT_MACHINE", tarn::win32::AbsolutePath(machine).c_str(), 1);
    if (const RPC_STATUS bound = SvcBind(); bound != RPC_S_OK) {
        std::cerr << "tarnctl: cannot make the binding to the service (status " << bound << ")\n";
        return kExitUnreachable;
    }

    LiveBackend backend;
    TerminalConsole console;
    Context ctx{backend, console, std::cout, std::cerr, ::isatty(STDOUT_FILENO) == 1};
    int result = kExitBadInput;
    auto* chosen = app.get_subcommands().front();
    if (chosen->get_name() == "ping") {
        result = CmdPing(ctx);
    } else if (chosen == statusCmd) {
        result = CmdStatus(ctx, status);
    } else if (chosen == formatCmd) {
        result = CmdFormat(ctx, format);
    } else if (chosen == createCmd) {
        result = CmdCreateImage(ctx, create);
    } else if (chosen == convertCmd) {
        result = CmdConvertImage(ctx, convert);
    } else if (chosen == mountCmd) {
        result = CmdMount(ctx, mount);
    } else if (chosen == resumeCmd) {
        result = CmdResume(ctx, resume);
    } else if (chosen == pauseCmd) {
        result = CmdPause(ctx);
    } else if (chosen == unmountCmd) {
        result = CmdUnmount(ctx, unmountDrive);
    } else if (chosen == mountsCmd) {
        result = CmdMounts(ctx, mountsJson);
    } else if (chosen == openCmd) {
        result = CmdOpen(ctx, open);
    } else if (chosen == closeCmd) {
        result = CmdClose(ctx, closeDrive);
    } else {
        for (const auto& [command, description] : driveApps) {
            if (chosen == command) result = description->run(ctx, drive);
        }
    }
    std::cout.flush();
    SvcUnbind();
    return result;
}
