#include "halvex/blocklist.h"

#include "common/asciitext.h"
#include "halvex/filters.h"

namespace halvex {

namespace {

bool blank(std::string_view entry) {
    return common::trimSpaces(entry).empty();
}

bool listed(const std::vector<std::string> &block, std::string_view entry,
            std::size_t except = std::string::npos) {
    for (std::size_t i = 0; i < block.size(); ++i) {
        if (i != except && common::equalNoCase(block[i], entry)) return true;
    }
    return false;
}

bool selectable(const std::vector<std::string> &block, int selected) {
    return selected >= 0 && static_cast<std::size_t>(selected) < block.size();
}

// Drops one trailing "/", then trims spaces, as "add" and the double-click do.
std::string_view dropslash(std::string_view x) {
    if (x.ends_with('/')) x = common::trimSpaces(x.substr(0, x.size() - 1));
    return x;
}

}  // namespace

AddResult addurl(std::vector<std::string> &block, std::string_view field) {
    std::string_view x = field;
    if (x.starts_with("http://")) x = common::trimSpaces(x.substr(7));
    x = dropslash(x);
    if (blank(x) || listed(block, x)) return {false, std::string(field)};
    block.emplace_back(x);
    return {true, {}};
}

std::optional<std::string> removeurl(std::vector<std::string> &block, int selected) {
    if (!selectable(block, selected)) return std::nullopt;
    std::string entry = std::move(block[selected]);
    block.erase(block.begin() + selected);
    return entry;
}

Edit autoformat(std::vector<std::string> &block, int selected) {
    if (!selectable(block, selected)) return Edit::unchanged;
    std::string_view x = block[selected];
    if (common::lowercase(x.substr(0, 7)) == "http://") x.remove_prefix(7);
    if (x.ends_with('/')) x.remove_suffix(1);
    if (const auto slash = x.find('/'); slash != std::string_view::npos) x = x.substr(0, slash + 1);
    if (x.ends_with('/')) x.remove_suffix(1);

    // An entry of nothing but "http://" or "/" has no host to keep.
    if (blank(x)) return Edit::unchanged;
    if (listed(block, x, static_cast<std::size_t>(selected))) {
        block.erase(block.begin() + selected);
        return Edit::removed;
    }
    if (x == block[selected]) return Edit::unchanged;
    block[selected] = std::string(x);
    return Edit::replaced;
}

bool blockloggedurl(std::vector<std::string> &block, std::string_view logentry) {
    // The client part ends at the first ": ". Splitting at the bare first ":" would cut an IPv6
    // client address ("::1: http://...") in the wrong place.
    std::string_view x = logentry;
    if (const auto sep = x.find(": "); sep != std::string_view::npos) {
        x.remove_prefix(sep + 1);
    } else if (const auto colon = x.find(':'); colon != std::string_view::npos) {
        x.remove_prefix(colon + 1);
    }
    const std::string lowered = common::lowercase(common::trimSpaces(x));
    x = lowered;
    if (x.starts_with("http://")) x = common::trimSpaces(x.substr(7));
    x = dropslash(x);
    if (blank(x) || listed(block, x)) return false;
    block.emplace_back(x);
    return true;
}

}  // namespace halvex
