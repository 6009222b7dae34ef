#include "nt_path.h"

#include <unistd.h>

#include <vector>

namespace tarn::win32 {

std::string AbsolutePath(std::string_view path) {
  std::string full;
  if (path.empty() || path.front() != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) full = cwd;
    full += '/';
  }
  full.append(path);
  std::vector<std::string_view> parts;
  std::string_view rest(full);
  while (!rest.empty()) {
    auto slash = rest.find('/');
    auto part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string out;
  for (auto part : parts) {
    out += '/';
    out.append(part);
  }
  return out.empty() ? "/" : out;
}

std::string ToNtPath(std::string_view linuxPath) { return std::string(kNtPrefix) + AbsolutePath(linuxPath); }

std::optional<std::string> FromNtPath(std::string_view name) {
  if (name.substr(0, kNtPrefix.size()) != kNtPrefix) return std::nullopt;
  return std::string(name.substr(kNtPrefix.size()));
}

std::optional<std::string_view> DeviceNameOf(std::string_view win32Name) {
  if (win32Name.substr(0, kDevicePrefix.size()) == kDevicePrefix) return win32Name.substr(kDevicePrefix.size());
  if (win32Name.substr(0, kLongPathPrefix.size()) != kLongPathPrefix) return std::nullopt;
  std::string_view rest = win32Name.substr(kLongPathPrefix.size());
  if (rest.empty() || rest.find_first_of("\\/") != std::string_view::npos) return std::nullopt;
  return rest;
}

std::string LinuxPathOf(std::string_view win32Name) {
  if (auto path = FromNtPath(win32Name)) return *path;
  if (win32Name.substr(0, kLongPathPrefix.size()) == kLongPathPrefix)
    return std::string(win32Name.substr(kLongPathPrefix.size()));
  return std::string(win32Name);
}

}  // namespace tarn::win32
