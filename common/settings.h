// A program's settings for one run: a command-line option overrides, for this run, the value
// stored under the shared key by the option's name without dashes ("--idle-timeout" is stored as
// "idletimeout"); what neither gives takes the program's default. Pure code: the stored values
// come through a function.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/hostport.h"
#include "common/log.h"
#include "common/netaddress.h"
#include "common/options.h"
#include "common/result.h"

namespace common {

// A stored switch: empty, off, no, false or 0 is off; on, yes, true or 1 on (any case); nullopt
// for anything else.
std::optional<bool> switchValue(std::string_view text);

// Whole seconds, or a count, from `low` up; a failure says what is wrong with the text.
Result<int> parseSeconds(std::string_view text, int low = 0);
Result<int> parseCount(std::string_view text, int low = 0);

// Where the stored values come from: the store shared by the suite's programs (a failure names a
// "registry value NAME"), or the program's own configuration file (named "FILE:LINE: NAME"),
// where also the values a shared store cannot hold for one program alone (its listen address and
// port) may be given.
struct StoredSource {
    std::function<std::string(std::string_view name)> where;  // empty: the shared store
    bool programsOwn = false;
};
void setStoredSource(StoredSource source);
const StoredSource &storedSource();

// --config FILE and --check-config.
struct ConfigChoice {
    std::string configFile;  // empty: the per-user store
    bool checkConfig = false;
};
void addConfigOptions(OptionTable &table);
Result<ConfigChoice> readConfigChoice(const CommandLine &cl);

// What a reload could not change without a restart: the values kept, and why.
struct ReloadOutcome {
    std::vector<std::string> kept;
    std::string reason;
    void keep(const std::string &name, const std::string &why) {
        kept.push_back(name);
        if (!reason.empty()) reason += "; ";
        reason += why;
    }
};

class Settings {
public:
    using Stored = std::function<std::string(std::string_view name)>;
    Settings(const CommandLine &cl, Stored stored) : cl_(cl), stored_(std::move(stored)) {}

    // The stored name of an option: "--max-per-client" -> "maxperclient".
    static std::string storedName(std::string_view option);

    // The text for this run; empty when neither gives one.
    std::string text(std::string_view option) const;
    // The same for an option stored under a name of its own ("--map" is stored as "popmap").
    std::string text(std::string_view option, std::string_view storedAs) const;
    // A switch: given on the command line, or stored as on, yes, true or 1 (off, no, false, 0
    // or nothing: off); any other stored text fails.
    Result<bool> flag(std::string_view option) const;

    // Each fails naming where the bad text came from ("--idle-timeout: ..." or "registry value
    // idletimeout: ...").
    Result<int> seconds(std::string_view option, int fallback, int low = 0) const;
    Result<int> count(std::string_view option, int fallback, int low = 0) const;
    Result<AddressList> addresses(std::string_view option, std::string_view fallback,
                                  bool names) const;

    // Where an option's text came from, for a failure ("--idle-timeout", "registry value ...").
    std::string where(std::string_view option) const;
    std::string where(std::string_view option, std::string_view storedAs) const;
    // The text of an option that only the command line or the program's own file may give.
    std::string ownText(std::string_view option, std::string_view storedAs = {}) const;
    const CommandLine &commandLine() const { return cl_; }

private:
    const CommandLine &cl_;
    Stored stored_;
};

// What both proxies read alike: how much they log, where they listen, who may connect (the local
// networks unless told), the balancers that send a PROXY header, the servers on this machine or a
// private network they may reach (host names too), and the limits of a connection.
struct ProxyAccess : ConfigChoice {
    LogLevel logLevel = LogLevel::info;
    std::string bind;  // listen address; empty means every interface
    AddressList allowClients = *AddressList::parse(kLocalNetworks);
    std::string allowClientsText = kLocalNetworks;  // as given, for the start line
    AddressList balancers;  // connections from these start with a PROXY header
    // Servers on this machine or a private network that a client may have the proxy reach.
    AddressList allowServers;
    int idleTimeout = 0;   // seconds a connection may be silent both ways (0: no limit)
    int maxPerClient = 0;  // connections from one client address
    // Where the status page listens (port 0: nowhere), and who may read it.
    HostPort status;
    AddressList statusAllow = *AddressList::parse(kLoopback);
};

// What differs between the proxies in those rows: their words and their defaults.
struct ProxyDefaults {
    std::string_view clients;  // "use the proxy", "log in"
    std::string_view servers;  // the help of --allow-servers
    std::string_view connection;  // "connection", "session"
    int idleTimeout = 0;
    int maxPerClient = 0;
};
// The rows of the options above, declared once for both proxies.
void addProxyOptions(OptionTable &table, const ProxyDefaults &defaults);
Result<ProxyAccess> readProxyAccess(const Settings &settings, const ProxyDefaults &defaults);

}  // namespace common
