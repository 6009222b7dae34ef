// The file-system view of a drive: its FAT or ext2/3/4 file system mounted
// for the user from the drive's block view (<machine>/drives/X). ext2/3/4
// goes through a loop device (mount -o loop, root only), FAT through fusefat.
//
// Library for the programs that open and close views (tarnctl open/close)
// and for the service, which closes a drive's views before it locks the
// drive or unmounts its image. Views are found from the system's mount
// table, so any process of the machine sees the same ones, including a loop
// mount of the block file made by hand.
#pragma once

#include <string>
#include <vector>

#include "platform/host/expected.h"

namespace tarn::host::fuse {

struct FileSystemView {
    char letter = 0;
    std::string directory;  // where it is mounted
    std::string fileSystem;  // the mount's type: "ext4", "fuse.fusefat", ...
};

// <machineDir>/drives/X: the drive's file in the block view.
std::string BlockFilePath(const std::string& machineDir, char letter);

// Where a view goes when the caller names no directory: ~/Tarnvault/X
// (outside the machine directory, so removing a machine never walks into a
// drive's files).
std::string DefaultViewDirectory(char letter);

// Mounts the drive's file system at directory (made when missing; it must be
// empty). Fails with a message for the user when the drive has no medium,
// is locked or carries no file system we can open, when a view of it is
// already open, or when the system refuses the mount.
Status OpenFileSystemView(const std::string& machineDir, char letter, const std::string& directory);

// The views of the drive now mounted.
std::vector<FileSystemView> FindFileSystemViews(const std::string& machineDir, char letter);

// Unmounts every view of the drive; returns only when what they wrote has
// reached the drive. Refuses, naming the directory, while files under a view
// are open; views already closed stay closed. Nothing to close is success.
// inUse, when given, tells that refusal apart from other failures.
Status CloseFileSystemViews(const std::string& machineDir, char letter, bool* inUse = nullptr);

}  // namespace tarn::host::fuse
