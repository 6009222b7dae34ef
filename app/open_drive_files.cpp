// Open on the Disk Encryption page: the drive's file system mounted for the
// user's Linux programs (the same view `tarnctl open` makes) and shown in
// the desktop's file manager.
#include <cctype>

#include "app/real_system_calls.h"
#include "platform/host/fuse/fs_view.h"
#include "platform/ui/shellapi.h"

namespace tarn::win32 {
std::string MachineDirectory();  // platform/win32/machine_dir.h, kept out of the window layer's headers
}

DWORD RealSystemCalls::OpenDriveFiles(LPCSTR drive, std::string* message) {
  constexpr DWORD kErrorInvalidParameter = 87;
  constexpr DWORD kErrorOpenFailed = 110;
  if (drive == nullptr || !std::isalpha(static_cast<unsigned char>(drive[0])) || drive[1] != ':') {
    *message = "This is not a drive.";
    return kErrorInvalidParameter;
  }
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(drive[0])));
  const std::string machine = tarn::win32::MachineDirectory();
  std::string directory;
  if (const auto open = tarn::host::fuse::FindFileSystemViews(machine, letter); !open.empty()) {
    directory = open.front().directory;
  } else {
    directory = tarn::host::fuse::DefaultViewDirectory(letter);
    if (const auto opened = tarn::host::fuse::OpenFileSystemView(machine, letter, directory); !opened) {
      *message = "Can't open the files of drive " + std::string(1, letter) + ": " + opened.error();
      return kErrorOpenFailed;
    }
  }
  // Without a file manager the files are still there; say where.
  if (ShellExecuteA(nullptr, "open", directory.c_str(), nullptr, nullptr, SW_SHOWNORMAL) <= 32) {
    *message = "The files of drive " + std::string(1, letter) + ": are in " + directory;
    return kErrorOpenFailed;
  }
  return ERROR_SUCCESS;
}
