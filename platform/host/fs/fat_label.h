// Volume labels of FAT: 11 OEM characters, blank-padded.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tarn::hostfs {

using FatLabel = std::array<char, 11>;

// Upper-cases and blank-pads a label for writing. Refuses (with a message in
// error) labels longer than 11 characters, control characters, characters
// outside ASCII and those FAT forbids in labels: * ? . , ; : / \ | + = < > [ ] "
std::optional<FatLabel> makeFatLabel(std::string_view text, std::string* error = nullptr);

// The label as a reader shows it: trailing blanks trimmed, an on-disk 0x05
// first byte back to 0xE5, and "NO NAME" (the formatters' placeholder) as none.
std::string readableFatLabel(const FatLabel& raw);

}  // namespace tarn::hostfs
