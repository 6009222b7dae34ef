// Names between the Win32 side (ANSI "\\.\E:", "E:\") and the object
// namespace (UTF-16 "\??\E:").
#pragma once

#include <optional>
#include <string>

namespace tarn::host {

std::u16string Widen(const std::string& s);
std::string Narrow(const std::u16string& s);

// "\\.\X", "\\?\X" -> "\??\X"; anything else nullopt (ordinary paths are
// Linux files and never reach the machine).
std::optional<std::u16string> DevicePathToNt(const std::string& path);

// The drive letter of a root such as "E:\", "e:", "E:\dir\"; nullopt otherwise.
std::optional<char> RootDriveLetter(const std::string& root);

// "\??\E:" for a DOS device name "E:" (any name without backslashes).
std::optional<std::u16string> DosNameToNt(const std::string& name);

}  // namespace tarn::host
