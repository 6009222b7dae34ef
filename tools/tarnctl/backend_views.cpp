// The live backend's file-system views: the view library over the block
// files of the machine tarnctl talks to.
#include "tools/tarnctl/backend_live.h"

#if TARN_HAVE_FS_VIEWS
#include "platform/host/fuse/fs_view.h"
#include "platform/win32/machine_dir.h"
#endif

namespace tarnctl {

#if TARN_HAVE_FS_VIEWS

namespace views = tarn::host::fuse;

std::string LiveBackend::OpenFileSystemView(char letter, const std::string& directory) {
    const auto opened = views::OpenFileSystemView(tarn::win32::MachineDirectory(), letter, directory);
    return opened ? std::string() : opened.error();
}

std::string LiveBackend::CloseFileSystemViews(char letter) {
    const auto closed = views::CloseFileSystemViews(tarn::win32::MachineDirectory(), letter);
    return closed ? std::string() : closed.error();
}

std::vector<std::string> LiveBackend::FileSystemViews(char letter) {
    std::vector<std::string> directories;
    for (const auto& view : views::FindFileSystemViews(tarn::win32::MachineDirectory(), letter)) {
        directories.push_back(view.directory);
    }
    return directories;
}

std::string LiveBackend::DefaultViewDirectory(char letter) { return views::DefaultViewDirectory(letter); }

#else

// Built without the machine's view library: say so instead of pretending.
std::string LiveBackend::OpenFileSystemView(char, const std::string&) {
    return "this tarnctl was built without file-system views";
}
std::string LiveBackend::CloseFileSystemViews(char) { return ""; }
std::vector<std::string> LiveBackend::FileSystemViews(char) { return {}; }
std::string LiveBackend::DefaultViewDirectory(char) { return ""; }

#endif

}  // namespace tarnctl
