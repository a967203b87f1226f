#include "halvex/blocklist.h"

#include <unordered_set>

#include "common/asciitext.h"
#include "common/hostport.h"
#include "common/netaddress.h"
#include "halvex/filters.h"
#include "halvex/httpframe.h"

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

std::string normalEntry(std::string_view entry) {
    if (entry.empty() || entry.find_first_of("/?#@ \t") != std::string_view::npos)
        return std::string(entry);
    // A leading dot says "and every name below it" to the CONNECT check: it stays.
    const bool below = entry.front() == '.';
    std::string_view host = below ? entry.substr(1) : entry;
    std::string_view port;
    if (host.starts_with('[')) {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos) return std::string(entry);
        if (close + 1 < host.size()) {
            if (host[close + 1] != ':') return std::string(entry);
            port = host.substr(close + 2);
        }
        host = host.substr(0, close + 1);
    } else if (const std::size_t colon = host.find(':');
               colon != std::string_view::npos && host.find(':', colon + 1) == std::string_view::npos) {
        port = host.substr(colon + 1);
        host = host.substr(0, colon);
    }
    if (host.empty() || (!port.empty() && !common::parsePort(port))) return std::string(entry);
    std::string_view typed = host;
    if (typed.ends_with('.')) typed.remove_suffix(1);
    // The case the user typed is kept where nothing else differs: every comparison ignores it.
    std::string normal = common::normalHost(host);
    if (common::equalNoCase(normal, typed)) normal.assign(typed);
    std::string out = below ? "." : "";
    out += port.empty() ? normal : common::hostAndPort(normal, *common::parsePort(port));
    return out;
}

AddResult addurl(std::vector<std::string> &block, std::string_view field) {
    std::string_view x = field;
    if (x.starts_with("http://")) x = common::trimSpaces(x.substr(7));
    const std::string entry = normalEntry(dropslash(x));
    if (blank(entry) || listed(block, entry)) return {false, std::string(field)};
    block.push_back(entry);
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
    const std::string entry = normalEntry(x);
    // What has no host in a form of its own (control bytes, a broken escape) stays as it is.
    if (blank(entry)) return Edit::unchanged;
    if (entry != x && listed(block, entry, static_cast<std::size_t>(selected))) {
        block.erase(block.begin() + selected);
        return Edit::removed;
    }
    if (entry == block[selected]) return Edit::unchanged;
    block[selected] = entry;
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
    // A logged CONNECT ("CONNECT host:443") blocks its host.
    if (x.starts_with("connect ")) {
        if (const auto hp = common::parseHostPort(common::trimSpaces(x.substr(8)), 0)) {
            const std::string entry = normalEntry(hp->host);
            if (blank(entry) || listed(block, entry)) return false;
            block.push_back(entry);
            return true;
        }
    }
    if (x.starts_with("http://")) x = common::trimSpaces(x.substr(7));
    const std::string entry = normalEntry(dropslash(x));
    if (blank(entry) || listed(block, entry)) return false;
    block.push_back(entry);
    return true;
}

namespace {

// Each line of a text, without its line end.
template <class Fn>
void eachline(std::string_view text, Fn fn) {
    while (!text.empty()) {
        const auto lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        if (line.ends_with('\r')) line.remove_suffix(1);
        fn(line);
        text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
    }
}

bool machinename(std::string_view name) {
    static constexpr std::string_view kOwn[] = {
        "localhost", "localhost.localdomain", "local", "broadcasthost", "ip6-localhost",
        "ip6-loopback", "ip6-localnet", "ip6-mcastprefix", "ip6-allnodes", "ip6-allrouters",
        "ip6-allhosts", "0.0.0.0"};
    for (std::string_view own : kOwn)
        if (common::equalNoCase(name, own)) return true;
    return false;
}

}  // namespace

std::vector<std::string> blockfileentries(std::string_view text) {
    std::vector<std::string> out;
    eachline(text, [&](std::string_view line) {
        line = line.substr(0, line.find('#'));
        std::vector<std::string_view> fields;
        while (!line.empty()) {
            const auto start = line.find_first_not_of(" \t");
            if (start == std::string_view::npos) break;
            line.remove_prefix(start);
            const auto end = line.find_first_of(" \t");
            fields.push_back(line.substr(0, end));
            line = end == std::string_view::npos ? std::string_view() : line.substr(end);
        }
        if (fields.empty()) return;
        // A hosts-file line names an address first; the names after it are the entries.
        const bool hosts = fields.size() > 1 && common::NetAddress::parse(fields[0]).has_value();
        const std::size_t first = hosts ? 1 : 0, last = hosts ? fields.size() : 1;
        for (std::size_t i = first; i < last; ++i) {
            std::string_view x = fields[i];
            if (common::startsNoCase(x, "http://")) x.remove_prefix(7);
            if (x.ends_with('/')) x.remove_suffix(1);
            if (!x.empty() && !machinename(x)) out.push_back(normalEntry(x));
        }
    });
    return out;
}

std::size_t importentries(std::vector<std::string> &block, const std::vector<std::string> &entries) {
    // A hosts file can hold a hundred thousand names: looked up in a set, not the list.
    std::unordered_set<std::string> have;
    for (const std::string &e : block) have.insert(common::lowercase(e));
    std::size_t added = 0;
    for (const std::string &e : entries) {
        if (blank(e) || !have.insert(common::lowercase(e)).second) continue;
        block.push_back(e);
        ++added;
    }
    return added;
}

std::string blocklisttext(const std::vector<std::string> &block) {
    std::string out;
    for (const std::string &e : block) out.append(e).append("\n");
    return out;
}

std::vector<std::string> readblocklist(std::string_view text) {
    std::vector<std::string> out;
    eachline(text, [&](std::string_view line) {
        line = common::trimSpaces(line);
        if (!line.empty()) out.push_back(normalEntry(line));
    });
    return out;
}

}  // namespace halvex
