// File names in NT form: "\??\" followed by the Linux path (image names in
// stored records use it).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarn::win32 {

inline constexpr std::string_view kNtPrefix = "\\??\\";
inline constexpr std::string_view kDevicePrefix = "\\\\.\\";
inline constexpr std::string_view kLongPathPrefix = "\\\\?\\";

// The NT form of a Linux path; a relative path is made absolute first.
std::string ToNtPath(std::string_view linuxPath);

// The Linux path inside an NT name, or nothing when `name` is not one.
std::optional<std::string> FromNtPath(std::string_view name);

// The Linux path CreateFileA and friends open for a Win32 name: NT names and
// "\\?\" names lose their prefix, everything else is taken as it is.
std::string LinuxPathOf(std::string_view win32Name);

// The device a Win32 name opens, without its prefix: what follows "\\.\",
// and what follows "\\?\" when that is a device name (no path separator:
// "E:", "STORAGE#Volume#..." as device events name volumes). Nothing for
// file names ("\\?\" followed by a path stays a file).
std::optional<std::string_view> DeviceNameOf(std::string_view win32Name);

// An absolute, lexically normalised form ("." and ".." resolved) of a path.
std::string AbsolutePath(std::string_view path);

}  // namespace tarn::win32
