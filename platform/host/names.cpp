#include "platform/host/names.h"

#include <cctype>

namespace tarn::host {

std::u16string Widen(const std::string& s) {
    std::u16string out;
    out.reserve(s.size());
    for (unsigned char c : s) out.push_back(static_cast<char16_t>(c));
    return out;
}

std::string Narrow(const std::u16string& s) {
    std::string out;
    out.reserve(s.size());
    for (char16_t c : s) out.push_back(c < 0x100 ? static_cast<char>(c) : '?');
    return out;
}

std::optional<std::u16string> DevicePathToNt(const std::string& path) {
    if (path.size() <= 4 || path[0] != '\\' || path[1] != '\\' || (path[2] != '.' && path[2] != '?') || path[3] != '\\') {
        return std::nullopt;
    }
    std::string rest = path.substr(4);
    // A trailing backslash names the root directory of the volume, not the
    // volume; only the volume itself is a device here.
    if (rest.empty() || rest.find('\0') != std::string::npos) return std::nullopt;
    return u"\\??\\" + Widen(rest);
}

std::optional<char> RootDriveLetter(const std::string& root) {
    if (root.size() < 2 || root[1] != ':') return std::nullopt;
    const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
    if (c < 'A' || c > 'Z') return std::nullopt;
    if (root.size() > 2 && root[2] != '\\' && root[2] != '/') return std::nullopt;
    return c;
}

std::optional<std::u16string> DosNameToNt(const std::string& name) {
    if (name.empty() || name.size() > 200 || name.find('\\') != std::string::npos) return std::nullopt;
    return u"\\??\\" + Widen(name);
}

}  // namespace tarn::host
