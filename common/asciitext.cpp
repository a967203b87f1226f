#include "common/asciitext.h"

namespace common {

std::string replytext(std::string_view text, std::size_t limit) {
    std::string out;
    const std::string_view shown = text.substr(0, limit);
    out.reserve(shown.size());
    for (char c : shown) out.push_back(c >= 0x20 && c < 0x7f ? c : '?');
    return out;
}

}  // namespace common
