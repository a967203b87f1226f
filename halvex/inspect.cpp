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

}  // namespace halvex
