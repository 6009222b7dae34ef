// The drive operations act with the service's own rights, so they take only
// device names ("\\.\E:", or a volume interface such as "\\?\Volume{...}"),
// never a file-system path that would reach an ordinary file.
#pragma once

#include <cstring>

inline bool IsDevicePath(const char* path) {
    return path != nullptr && (std::strncmp(path, "\\\\.\\", 4) == 0 || std::strncmp(path, "\\\\?\\", 4) == 0) &&
           path[4] != '\0';
}
