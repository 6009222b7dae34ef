#include "service/file_system_views.h"

#include <cctype>
#include <cstring>

#include "service/win32.h"
#include "service/worker_status.h"

#if TARN_HAVE_FS_VIEWS
#include "platform/host/fuse/fs_view.h"
#include "platform/win32/machine_dir.h"
#endif

namespace {

// The letter of "E:", "E:\" or "\\.\E:"; 0 for anything else.
char LetterOf(const char* drive) {
    if (drive == nullptr) return 0;
    if (std::strncmp(drive, "\\\\.\\", 4) == 0) drive += 4;
    if (!std::isalpha(static_cast<unsigned char>(drive[0])) || drive[1] != ':') return 0;
    if (drive[2] != '\0' && !(drive[2] == '\\' && drive[3] == '\0')) return 0;
    return static_cast<char>(std::toupper(static_cast<unsigned char>(drive[0])));
}

}  // namespace

namespace tarnsvc {

long CloseDriveViews(const char* drive) {
    const char letter = LetterOf(drive);
    if (letter == 0) return 0;
#if TARN_HAVE_FS_VIEWS
    bool inUse = false;
    const auto closed = tarn::host::fuse::CloseFileSystemViews(tarn::win32::MachineDirectory(), letter, &inUse);
    if (closed) return 0;
    SetLastMessage("%s", closed.error().c_str());
    return inUse ? ERROR_SHARING_VIOLATION : ERROR_ACCESS_DENIED;
#else
    return 0;
#endif
}

}  // namespace tarnsvc
