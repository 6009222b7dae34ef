// tarnhost: one machine's kernel and service control manager.
#include <cstdio>
#include <cstdlib>

#include <CLI/CLI.hpp>

#include "platform/host/cli_drives.h"
#include "platform/host/cli_machine.h"
#include "platform/host/machine_dir.h"

int main(int argc, char** argv) {
    using namespace tarn::host;
    CLI::App app{"tarnhost: the machine (kernel, drives, service control manager)"};
    app.require_subcommand(1);
    std::string machine;
    app.add_option("--machine", machine, "machine directory (default: TARNVAULT_MACHINE or the state directory)");

    std::string group;
    auto* init = app.add_subcommand("init", "create a machine directory with the default drives");
    init->add_option("--group", group, "group whose members may use the machine");

    auto* drive = app.add_subcommand("drive", "list, add or remove drives");
    drive->require_subcommand(1);
    drive->add_subcommand("list", "show the drive table");
    std::string letter, kind, backing;
    bool readOnly = false;
    uint64_t createSize = 0;
    auto* add = drive->add_subcommand("add", "add a drive");
    add->add_option("letter", letter, "drive letter, e.g. G:")->required();
    add->add_option("type", kind, "fixed, removable, cdrom or remote")->required();
    add->add_option("backing", backing, "Linux file or block device (\"-\" for no medium)")->required();
    add->add_flag("--read-only", readOnly, "write-protected drive");
    add->add_option("--create", createSize, "create the backing file as a sparse file of this many bytes");
    auto* remove = drive->add_subcommand("remove", "remove a drive");
    remove->add_option("letter", letter, "drive letter")->required();

    auto* media = app.add_subcommand("media", "insert or eject removable media");
    media->require_subcommand(1);
    std::string mediaPath;
    auto* insert = media->add_subcommand("insert", "put a medium into a drive");
    insert->add_option("letter", letter)->required();
    insert->add_option("path", mediaPath, "image file or block device")->required();
    auto* eject = media->add_subcommand("eject", "take the medium out of a drive");
    eject->add_option("letter", letter)->required();

    auto* run = app.add_subcommand("run", "run the machine in the foreground until SIGTERM or SIGINT");
    bool noService = false;
    run->add_flag("--no-service", noService, "do not start the service tarnsvc with the machine");

    std::string serviceName;
    auto* service = app.add_subcommand("service", "start, stop or query a service of the running machine");
    service->require_subcommand(1);
    for (const char* verb : {"start", "stop", "status"}) {
        service->add_subcommand(verb)->add_option("name", serviceName)->required();
    }

    std::string formatFs = "FAT32", formatLabel;
    auto* format = app.add_subcommand("format", "write an empty FAT file system onto a drive of the running machine");
    format->add_option("letter", letter)->required();
    format->add_option("--fs", formatFs, "FAT or FAT32");
    format->add_option("--label", formatLabel, "volume label");

    CLI11_PARSE(app, argc, argv);
    const std::string dir = ResolveMachineDirectory(machine);
    // The win32 layer (registry, the machine's own socket) follows the same directory.
    ::setenv("TARNVAULT_MACHINE", dir.c_str(), 1);

    if (*init) return CmdInit(dir, group);
    if (*drive) {
        if (*add) return CmdDriveAdd(dir, letter, kind, backing, readOnly, createSize);
        if (*remove) return CmdDriveRemove(dir, letter);
        return CmdDriveList(dir);
    }
    if (*media) {
        if (*insert) return CmdMediaInsert(dir, letter, mediaPath);
        return CmdMediaEject(dir, letter);
    }
    if (*run) return CmdRun(dir, !noService);
    if (*service) {
        for (auto* sub : service->get_subcommands()) return CmdService(dir, sub->get_name(), serviceName);
    }
    if (*format) return CmdFormat(dir, letter, formatFs, formatLabel);
    return 1;
}
