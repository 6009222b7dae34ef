// The commands of tarnctl, one function each; main.cpp maps the command
// line onto them. Every function returns the exit status.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/tarnctl/context.h"
#include "tools/tarnctl/passwords.h"

namespace tarnctl {

int CmdPing(Context& ctx);

struct StatusOptions {
    std::string drive;  // empty: every drive
    bool json = false;
};
int CmdStatus(Context& ctx, const StatusOptions& options);

struct DriveOptions {
    std::string drive;
    bool yes = false;
    PasswordSource password;
};
int CmdEncrypt(Context& ctx, const DriveOptions& options);
int CmdDecrypt(Context& ctx, const DriveOptions& options);
int CmdLock(Context& ctx, const DriveOptions& options);
int CmdUnlock(Context& ctx, const DriveOptions& options);
int CmdQuickEncrypt(Context& ctx, const DriveOptions& options);
int CmdQuickDecrypt(Context& ctx, const DriveOptions& options);

struct FormatOptions {
    std::string drive;
    std::string fileSystem = "fat32";
    std::string label;
    bool yes = false;
};
int CmdFormat(Context& ctx, const FormatOptions& options);

struct CreateImageOptions {
    std::string file;
    int64_t sizeMiB = 0;
    std::string fileSystem = "fat";
    bool partitionTable = false;
    std::string label = "DEFAULT VOL";
    bool encrypt = false;
    bool yes = false;
    PasswordSource password;
};
int CmdCreateImage(Context& ctx, const CreateImageOptions& options);

struct ConvertImageOptions {
    std::string source;
    std::string target;
    bool encrypt = false;
    bool decrypt = false;
    bool yes = false;
    PasswordSource password;
};
int CmdConvertImage(Context& ctx, const ConvertImageOptions& options);

struct MountOptions {
    std::vector<std::string> arguments;  // FILE [X:], or [X:] with --net
    std::string net;                     // HOST:PORT
    std::string cache;                   // cache file of a network disk
    bool cd = false;
    bool readOnly = false;
    PasswordSource password;
};
int CmdMount(Context& ctx, const MountOptions& options);

struct ResumeOptions {
    std::string target;  // X: or an image file
    bool yes = false;    // go on when the password cannot be checked
    PasswordSource password;
};
int CmdResume(Context& ctx, const ResumeOptions& options);
int CmdPause(Context& ctx);
int CmdUnmount(Context& ctx, const std::string& drive);
int CmdMounts(Context& ctx, bool json);

struct ViewOptions {
    std::string drive;
    std::string directory;  // empty: the default place for the drive
};
int CmdOpen(Context& ctx, const ViewOptions& options);
int CmdClose(Context& ctx, const std::string& drive);

}  // namespace tarnctl
