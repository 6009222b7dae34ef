// UTF-8 and UTF-16, strictly: Linux paths are UTF-8 bytes, the mount
// record's names are UTF-16.
#pragma once

#include <string>

namespace tarnctl {

bool ValidUtf8(const std::string& text);
// False for text that is not valid UTF-8 (nothing is guessed).
bool Utf8ToUtf16(const std::string& text, std::u16string* out);
// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(const std::u16string& text);

}  // namespace tarnctl
