#include "platform/host/fs/fat_label.h"

#include <algorithm>
#include <cstring>

namespace tarn::hostfs {

std::optional<FatLabel> makeFatLabel(std::string_view text, std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<FatLabel> {
        if (error) *error = why;
        return std::nullopt;
    };
    if (text.size() > 11) return fail("volume label longer than 11 characters");
    FatLabel label;
    label.fill(' ');
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c >= 0x7F || std::strchr("*?.,;:/\\|+=<>[]\"", c) != nullptr)
            return fail("volume label contains a character FAT does not allow");
        label[i] = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    return label;
}

std::string readableFatLabel(const FatLabel& raw) {
    std::string text(raw.begin(), raw.end());
    if (static_cast<unsigned char>(text[0]) == 0x05) text[0] = static_cast<char>(0xE5);
    // A NUL ends the label early, as it does for every FAT reader.
    text.erase(std::find(text.begin(), text.end(), '\0'), text.end());
    const auto last = text.find_last_not_of(' ');
    text.erase(last == std::string::npos ? 0 : last + 1);
    if (text == "NO NAME") text.clear();
    return text;
}

}  // namespace tarn::hostfs
