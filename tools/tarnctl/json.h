// The little JSON that --json needs: quoted strings. Paths are UTF-8 and
// pass as they are; labels may be 8-bit text of any code page, and text that
// is not valid UTF-8 has its bytes above 0x7F written as \u00XX (Latin-1),
// so the output stays valid UTF-8 whatever a label holds.
#pragma once

#include <string>

namespace tarnctl {

std::string JsonString(const std::string& text);

}  // namespace tarnctl
