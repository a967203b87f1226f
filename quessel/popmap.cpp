#include "quessel/popmap.h"

#include "common/asciitext.h"
#include "common/hostport.h"

namespace quessel {

common::Result<PopMap> PopMap::parse(std::string_view text) {
    PopMap map;
    int number = 0;
    while (!text.empty()) {
        ++number;
        const std::size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        line = common::trimBlanks(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        auto bad = [&](const std::string &why) {
            return common::fail("line " + std::to_string(number) + ": " + why);
        };
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) return bad("no \":\" after the name");
        const std::string name = common::lowercase(common::trimBlanks(line.substr(0, colon)));
        std::string_view rest = common::trimBlanks(line.substr(colon + 1));
        const std::size_t blank = rest.find_first_of(" \t");
        const std::string_view server = rest.substr(0, blank);
        const std::string_view login =
            blank == std::string_view::npos ? std::string_view() : common::trimBlanks(rest.substr(blank));
        if (name.empty()) return bad("no name before the \":\"");
        if (name.find_first_of(" \t|") != std::string::npos || (name.find('*') != std::string::npos &&
                                                                 name != "*" && !name.starts_with("*@")))
            return bad("not a name, \"*@domain\" or \"*\": " + common::replytext(name, 60));
        if (server.empty()) return bad("no server for " + common::replytext(name, 60));
        const common::Result<common::HostPort> hp = common::parseHostPort(server, 0);
        if (!hp) return bad(hp.why());
        if (login.find_first_of(" \t") != std::string_view::npos)
            return bad("more than one name to log in as: " + common::replytext(login, 60));
        Entry e{hp->host, hp->port, std::string(login)};
        if (name == "*") {
            if (map.fallback_) return bad("a second \"*\"");
            map.fallback_ = std::move(e);
        } else if (name.starts_with("*@")) {
            if (!map.domains_.emplace(name.substr(2), std::move(e)).second)
                return bad("a second entry for " + name);
        } else if (!map.names_.emplace(name, std::move(e)).second) {
            return bad("a second entry for " + common::replytext(name, 60));
        }
    }
    return map;
}

std::optional<Route> PopMap::find(std::string_view name) const {
    const std::string key = common::lowercase(name);
    const Entry *e = nullptr;
    if (auto it = names_.find(key); it != names_.end()) {
        e = &it->second;
    } else if (const std::size_t at = key.rfind('@'); at != std::string::npos) {
        if (auto d = domains_.find(key.substr(at + 1)); d != domains_.end()) e = &d->second;
    }
    if (!e && fallback_) e = &*fallback_;
    if (!e) return std::nullopt;
    return Route{e->host, e->port, e->login.empty() ? std::string(name) : e->login};
}

}  // namespace quessel
