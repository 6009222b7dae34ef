// Checks of what the user typed, made before anything is sent: drive names,
// file systems, volume labels, image sizes, file paths, network addresses.
#pragma once

#include <cstdint>
#include <string>

namespace tarnctl {

// "E:", "e:", "E" or "E:\" give 'E'; anything else is refused.
bool ParseDriveName(const std::string& text, char* letter);

// "fat" (FAT16, file-system index 0) or "fat32" (index 1), any case. The
// name is what the machine's format call takes ("FAT" or "FAT32").
bool ParseFileSystem(const std::string& text, long* fsType, std::string* name);

// A FAT volume label: at most 11 characters, printable ASCII, none of the
// characters FAT forbids in a label. An empty label is allowed.
bool CheckVolumeLabel(const std::string& label, std::string* why);

// An image size in MiB: positive and within FAT32's reach (2 TiB); gives
// the byte count (64-bit, never wrapping).
bool CheckImageSize(int64_t mebibytes, int64_t* bytes, std::string* why);

// An absolute, normalised form of a file path as the service must get it
// (its working directory is not ours). Refuses an empty path and paths the
// service would not take whole.
bool AbsoluteFilePath(const std::string& path, std::string* absolute, std::string* why);

// "HOST:PORT" with an IPv4 address or a name that resolves to one; address
// and port come back in network byte order, as the mount record holds them.
bool ParseNetAddress(const std::string& text, uint32_t* address, uint16_t* port, std::string* why);

// The text with control bytes shown as \xNN, for messages.
std::string Printable(const std::string& text);

}  // namespace tarnctl
