// The routing map: which POP3 server a login name goes to, so that users keep their plain names.
// One entry a line, "#" starts a comment:
//   alice: pop.example.org               alice goes to pop.example.org, as alice
//   bob: pop.example.org:995 robert      bob goes there on port 995, and logs in as robert
//   *@example.com: mail.example.com      every name of that domain
//   *: pop.default.example               every other name
// Names are compared in any case; a name is looked up whole, then by its domain, then the default.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/result.h"

namespace quessel {

struct Route {
    std::string host;    // the server, as a host name or address
    int port = 0;        // 0: the proxy's --server-port
    std::string login;   // the name the server gets
};

class PopMap {
public:
    // A failure names the line and what is wrong with it.
    static common::Result<PopMap> parse(std::string_view text);
    // The route for a login name, or nullopt when the map has none for it (and no default).
    std::optional<Route> find(std::string_view name) const;
    std::size_t size() const { return names_.size() + domains_.size() + (fallback_ ? 1 : 0); }

private:
    struct Entry {
        std::string host;
        int port = 0;
        std::string login;  // "" : the name as the client gave it
    };
    std::unordered_map<std::string, Entry> names_;    // lower case
    std::unordered_map<std::string, Entry> domains_;  // lower case, without "*@"
    std::optional<Entry> fallback_;
};

}  // namespace quessel
