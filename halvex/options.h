// halvex's settings for one run: the command line first, then the values stored under the shared
// key, then the defaults. (The window's own settings, the ports, the upstream proxy and the
// switches, are read by the proxy window.)
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/hostport.h"
#include "common/log.h"
#include "common/netaddress.h"
#include "common/result.h"
#include "common/settings.h"

namespace halvex {

// The log level, the client list, the balancers and the servers allowed (ProxyAccess) and the
// program's own options.
// The words and defaults of the rows this proxy shares with the other.
inline constexpr common::ProxyDefaults kProxyDefaults{
    "use the proxy",
    "with no upstream proxy: servers on this machine or a private network that may be used",
    "connection", 900, 256};

struct Options : common::ProxyAccess {
    Options() {
        idleTimeout = kProxyDefaults.idleTimeout;
        maxPerClient = kProxyDefaults.maxPerClient;
    }
    bool start = false;        // press "start" once the window has loaded
    std::vector<std::string> block;  // block-list entries added at start, as "add" would
    std::vector<std::string> blockFiles;  // files whose entries are imported at start
    int firstByteTimeout = 60;  // seconds a new client has to say something
    int maxPipelined = 32;      // requests of one connection waiting for their answers
    // HTTPS inspection: whether it is on, the authority, what is never inspected (the list's
    // entries and those of its file), whether refused hosts are learned, the ports inspected.
    bool inspectHttps = false;
    std::string caCert, caKey;
    std::vector<std::string> inspectExcept;
    bool inspectLearn = true;
    std::vector<int> inspectPorts{443};
    std::string makeCa;  // --make-ca: the folder for a new authority
    // What the window's boxes and switches hold for this run when the command line says so
    // (unset: as stored; the window then stores nothing the command line gave).
    std::optional<int> port;                // --port: the listen port
    std::optional<common::HostPort> upstream;  // --upstream: host empty for none (direct)
    std::optional<bool> removeCookies, blockDisconnect, blockSendEmpty, removePictures;
    bool help = false;
    bool version = false;
};

std::string usage();

// The names the settings may be stored under (and a configuration file may set).
std::vector<std::string> storedNames();

using common::switchValue;

using StoredValue = std::function<std::string(std::string_view name)>;

// Parses the arguments after the program name, with the stored values for what they leave out.
common::Result<Options> parseOptions(const std::vector<std::string> &args,
                                     const StoredValue &stored = {});

}  // namespace halvex
