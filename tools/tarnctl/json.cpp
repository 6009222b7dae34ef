#include "tools/tarnctl/json.h"

#include <cstdio>

#include "tools/tarnctl/utf.h"

namespace tarnctl {

std::string JsonString(const std::string& text) {
    // Valid UTF-8 (paths) passes as it is; other 8-bit text is taken as Latin-1.
    const bool utf8 = ValidUtf8(text);
    std::string s = "\"";
    for (char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        switch (ch) {
        case '"': s += "\\\""; break;
        case '\\': s += "\\\\"; break;
        case '\n': s += "\\n"; break;
        case '\r': s += "\\r"; break;
        case '\t': s += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F || (c > 0x7F && !utf8)) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                s += escaped;
            } else {
                s.push_back(ch);
            }
        }
    }
    s += "\"";
    return s;
}

}  // namespace tarnctl
