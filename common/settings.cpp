#include "common/settings.h"

#include "common/asciitext.h"

namespace common {

namespace {
Result<int> wholeNumber(std::string_view text, int low, int high, const char *what) {
    text = trimBlanks(text);
    if (text.empty() || text.size() > 9) return fail(std::string("not ") + what + ": " + replytext(text, 40));
    int value = 0;
    for (char c : text) {
        if (!isAsciiDigit(c)) return fail(std::string("not ") + what + ": " + replytext(text, 40));
        value = value * 10 + (c - '0');
    }
    if (value < low || value > high)
        return fail(std::string("not ") + what + " from " + std::to_string(low) + " to " +
                    std::to_string(high) + ": " + std::string(text));
    return value;
}
}  // namespace

Result<int> parseSeconds(std::string_view text, int low) {
    return wholeNumber(text, low, 31 * 86400, "a number of seconds");
}

Result<int> parseCount(std::string_view text, int low) {
    return wholeNumber(text, low, 1000000, "a number");
}

namespace {
StoredSource &source() {
    static StoredSource s;
    return s;
}
}  // namespace

void setStoredSource(StoredSource s) {
    source() = std::move(s);
}

const StoredSource &storedSource() {
    return source();
}

void addConfigOptions(OptionTable &table) {
    table.add("--config", "FILE",
              "read the settings from FILE (name = value lines, as a service does) instead of the "
              "per-user store; never written");
    table.add("--check-config", "", "check the settings as a start would read them, and end: 0 when good");
}

Result<ConfigChoice> readConfigChoice(const CommandLine &cl) {
    ConfigChoice c;
    if (const std::string *f = cl.value("--config")) {
        if (f->empty()) return fail("--config needs a file name");
        c.configFile = *f;
    }
    c.checkConfig = cl.has("--check-config");
    return c;
}

std::string Settings::storedName(std::string_view option) {
    std::string name;
    for (char c : option)
        if (c != '-') name.push_back(asciiLower(c));
    return name;
}

std::string Settings::text(std::string_view option) const {
    return text(option, storedName(option));
}

std::string Settings::text(std::string_view option, std::string_view storedAs) const {
    if (const std::string *v = cl_.value(option)) return *v;
    return stored_ ? stored_(storedAs) : std::string();
}

std::optional<bool> switchValue(std::string_view text) {
    const std::string t = lowercase(trimBlanks(text));
    for (const char *off : {"", "off", "no", "false", "0"})
        if (t == off) return false;
    for (const char *on : {"on", "yes", "true", "1"})
        if (t == on) return true;
    return std::nullopt;
}

Result<bool> Settings::flag(std::string_view option) const {
    if (cl_.has(option)) return true;
    if (!stored_) return false;
    const std::string t = stored_(storedName(option));
    const std::optional<bool> on = switchValue(t);
    if (!on) return fail(where(option) + ": not on or off: " + replytext(t, 40));
    return *on;
}

std::string Settings::where(std::string_view option) const {
    return where(option, storedName(option));
}

std::string Settings::where(std::string_view option, std::string_view storedAs) const {
    if (cl_.has(option)) return std::string(option);
    if (storedSource().where) return storedSource().where(storedAs);
    return "registry value " + std::string(storedAs);
}

std::string Settings::ownText(std::string_view option, std::string_view storedAs) const {
    if (const std::string *v = cl_.value(option)) return *v;
    if (!storedSource().programsOwn || !stored_) return {};
    return stored_(storedAs.empty() ? storedName(option) : storedAs);
}

Result<int> Settings::seconds(std::string_view option, int fallback, int low) const {
    const std::string t = text(option);
    if (trimBlanks(t).empty()) return fallback;
    Result<int> r = parseSeconds(t, low);
    if (!r) return fail(where(option) + ": " + r.why());
    return r;
}

Result<int> Settings::count(std::string_view option, int fallback, int low) const {
    const std::string t = text(option);
    if (trimBlanks(t).empty()) return fallback;
    Result<int> r = parseCount(t, low);
    if (!r) return fail(where(option) + ": " + r.why());
    return r;
}

Result<AddressList> Settings::addresses(std::string_view option, std::string_view fallback,
                                        bool names) const {
    std::string t = text(option);
    if (trimBlanks(t).empty()) t = std::string(fallback);
    Result<AddressList> r = AddressList::parse(t, names);
    if (!r) return fail(where(option) + ": " + r.why());
    return r;
}

void addProxyOptions(OptionTable &table, const ProxyDefaults &d) {
    const std::string c(d.connection);
    table.add("--bind", "ADDRESS", "listen on this address only (default: every interface)");
    table.add("--allow-clients", "LIST",
              "addresses and ranges that may " + std::string(d.clients) + " (default: local networks)");
    table.add("--allow-servers", "LIST", d.servers);
    table.add("--idle-timeout", "SECONDS",
              "time a " + c + " may be silent both ways (default " + std::to_string(d.idleTimeout) + ")");
    table.add("--max-per-client", "N",
              c + "s from one client address (default " + std::to_string(d.maxPerClient) + ")");
    table.add("--proxy-protocol", "LIST",
              "balancers whose connections begin with a PROXY header naming the client (default: none)");
    table.add("--status", "ADDRESS:PORT",
              "serve a live status page and /metrics there (default: none)");
    table.add("--status-allow", "LIST", "addresses and ranges that may read it (default: loopback)");
    table.add("--log-level", "LEVEL", "what goes to stderr: error, info (the default) or debug");
    addConfigOptions(table);
}

Result<ProxyAccess> readProxyAccess(const Settings &settings, const ProxyDefaults &d) {
    ProxyAccess a;
    Result<ConfigChoice> config = readConfigChoice(settings.commandLine());
    if (!config) return fail(config.why());
    static_cast<ConfigChoice &>(a) = *config;
    // The listen address is the command line's or the program's own file's: a store shared by
    // both proxies cannot say where one of them listens.
    a.bind = std::string(trimBlanks(settings.ownText("--bind")));
    if (a.bind.empty() && settings.commandLine().has("--bind")) return fail("--bind needs an address");
    if (const std::string level = settings.text("--log-level"); !level.empty()) {
        const Result<LogLevel> l = parseLogLevel(level);
        if (!l) return fail(settings.where("--log-level") + ": " + l.why());
        a.logLevel = *l;
    }
    Result<AddressList> clients = settings.addresses("--allow-clients", kLocalNetworks, false);
    if (!clients) return fail(clients.why());
    a.allowClients = *clients;
    if (const std::string t = settings.text("--allow-clients"); !trimBlanks(t).empty()) a.allowClientsText = t;
    Result<AddressList> balancers = settings.addresses("--proxy-protocol", "", false);
    if (!balancers) return fail(balancers.why());
    a.balancers = *balancers;
    Result<AddressList> servers = settings.addresses("--allow-servers", "", true);
    if (!servers) return fail(servers.why());
    a.allowServers = *servers;
    // 0 turns a time limit off.
    Result<int> idle = settings.seconds("--idle-timeout", d.idleTimeout);
    if (!idle) return fail(idle.why());
    a.idleTimeout = *idle;
    Result<int> per = settings.count("--max-per-client", d.maxPerClient, 1);
    if (!per) return fail(per.why());
    a.maxPerClient = *per;
    if (const std::string t(trimBlanks(settings.ownText("--status"))); !t.empty()) {
        Result<HostPort> where = parseHostPort(t, -1);
        if (!where || where->port < 1 || where->port > 65535)
            return fail(settings.where("--status") + ": not an address and port: " + replytext(t, 60));
        a.status = *where;
    } else if (settings.commandLine().has("--status")) {
        return fail("--status needs an address and a port");
    }
    Result<AddressList> readers = settings.addresses("--status-allow", kLoopback, false);
    if (!readers) return fail(readers.why());
    a.statusAllow = *readers;
    return a;
}

}  // namespace common
