// quessel's settings for one run: the command line first, then the values stored under the shared
// key, then the defaults.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/log.h"
#include "common/netaddress.h"
#include "common/result.h"
#include "common/settings.h"
#include "quessel/loginline.h"

namespace quessel {

// The log level, the client list, the balancers and the servers allowed (ProxyAccess) and the
// program's own options.
// The words and defaults of the rows this proxy shares with the other.
inline constexpr common::ProxyDefaults kProxyDefaults{
    "log in", "addresses, ranges and names of private or local servers that may be used (default: none)",
    "session", 600, 64};

struct Options : common::ProxyAccess {
    Options() {
        idleTimeout = kProxyDefaults.idleTimeout;
        maxPerClient = kProxyDefaults.maxPerClient;
    }
    int port = 110;          // where mail clients connect
    int serverPort = 110;    // every server connection goes to this port, whatever the client says
    int serverTimeout = 30;  // seconds a server has to send its greeting
    int loginTimeout = 60;  // seconds from connecting to the login line
    // TLS towards the mail clients: the certificate, a POP3S listener (0: none), no login in the
    // clear; and how the server side is secured.
    std::string tlsCert;
    std::string tlsKey;
    int tlsPort = 0;
    bool requireTls = false;
    ServerTls serverTls = ServerTls::automatic;
    std::string mapFile;               // the routing map; empty: none
    std::optional<bool> userServer;    // USERNAME|SERVER taken; unset: when there is no map
    bool help = false;
    bool version = false;
};

// What --help prints.
std::string usage();
// The names the settings may be stored under (and a configuration file may set).
std::vector<std::string> storedNames();

// Reads a value stored under the shared key ("" when there is none).
using StoredValue = std::function<std::string(std::string_view name)>;

// Parses the arguments after the program name, with the stored values for what they leave out; a
// bad argument or stored value fails with one line saying what is wrong.
common::Result<Options> parseOptions(const std::vector<std::string> &args,
                                     const StoredValue &stored = {});

}  // namespace quessel
