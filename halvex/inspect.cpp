#include "halvex/inspect.h"

#include "halvex/filters.h"

namespace halvex {

std::string requesttarget(std::string_view pending) {
    constexpr auto npos = std::string_view::npos;
    if (pending.find("GET") == npos) return {};

    // Everything after the first "GET "; with no "GET " at all, everything but the first three
    // characters.
    const auto get = pending.find("GET ");
    std::string_view u = trimspaces(pending.substr(get == npos ? 3 : get + 4));

    // The target ends at the first space; a chunk that stops before it gives nothing.
    const auto space = u.find(' ');
    u = space == npos ? std::string_view{} : trimspaces(u.substr(0, space));

    if (u.empty() || lowercase(u).find("http:") == npos) return {};
    return std::string(u);
}

std::string latertarget(std::string_view chunk) {
    if (!chunk.starts_with("GET ")) return {};
    return requesttarget(chunk);
}

std::string escapecontrols(std::string_view text, EscapeOptions options) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool lineend = c == '\r' || c == '\n';
        if ((byte >= 0x20 && byte < 0x7f) || (byte >= 0x80 && options.keephigh) ||
            (lineend && options.keeplineends)) {
            out += c;
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xf];
        }
    }
    return out;
}

}  // namespace halvex
