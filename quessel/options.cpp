#include "quessel/options.h"

#include "common/asciitext.h"
#include "common/hostport.h"
#include "common/log.h"
#include "common/options.h"
#include "common/settings.h"

#include <utility>

namespace quessel {

namespace {

using common::OptionRule;

const common::OptionTable &options() {
    static const common::OptionTable table = [] {
        common::OptionTable t{
            {"--port", "N", "listen for mail clients on port N (default 110)"},
            {"--server-port", "N", "connect to every POP3 server on port N (default 110)"},
            {"--server-timeout", "SECONDS", "time a server has to send its greeting (default 30)"},
            {"--login-timeout", "SECONDS", "time a client has to log in (default 60)"},
            {"--tls-cert", "FILE", "certificate (PEM, with its chain) for STLS and --tls-port"},
            {"--tls-key", "FILE", "its key (PEM)"},
            {"--tls-port", "N", "also listen on port N for clients that speak TLS from the first byte"},
            {"--require-tls", "", "no login in the clear on the plain port: STLS first"},
            {"--server-tls", "MODE",
             "off, auto (STLS when the server offers it; the default), stls, implicit (POP3S)"},
            {"--map", "FILE", "route login names by this map (name: server[:port] [login] a line)"},
            {"--user-server", "on|off", "take USERNAME|SERVER logins (default: on without a map, off with one)"},
        };
        common::addProxyOptions(t, kProxyDefaults);
        return t;
    }();
    return table;
}

}  // namespace

std::string usage() {
    return common::usageText("quessel [OPTION]...", options().rules(),
                             "Mail clients log in as USERNAME|SERVER. Each option but --port,\n"
                             "--server-port, --bind and --server-timeout can also be stored under\n"
                             "the shared key by its name without dashes (allowclients, ...); a\n"
                             "service reads them all from --config /etc/tessaruno/quessel.conf.\n");
}

std::vector<std::string> storedNames() {
    std::vector<std::string> names{"popmap"};
    for (const common::OptionRule &r : options().rules()) {
        const std::string n = common::Settings::storedName(r.name);
        if (n == "map" || n == "config" || n == "checkconfig") continue;
        names.push_back(n);
    }
    return names;
}

common::Result<Options> parseOptions(const std::vector<std::string> &args,
                                     const StoredValue &stored) {
    using common::fail;
    const common::Result<common::CommandLine> cl = common::parseCommandLine(options().rules(), args);
    if (!cl) return fail(cl.why());
    Options o;
    o.help = cl->help();
    o.version = cl->version();
    const common::Settings settings(*cl, stored);
    // The ports and the server timeout are the command line's or quessel's own file's: the store
    // shared with the other programs cannot say where one of them listens.
    for (const char *name : {"--port", "--server-port"}) {
        if (const std::string v = std::string(common::trimBlanks(settings.ownText(name))); !v.empty() ||
                                                                                      cl->has(name)) {
            const std::optional<int> port = common::parsePort(v);
            if (!port) return fail(settings.where(name) + ": not a port number: " + v);
            (std::string_view(name) == "--port" ? o.port : o.serverPort) = *port;
        }
    }
    if (const std::string v = settings.ownText("--server-timeout"); !v.empty() || cl->has("--server-timeout")) {
        const common::Result<int> s = common::parseSeconds(v, 1);
        if (!s) return fail(settings.where("--server-timeout") + ": " + s.why());
        o.serverTimeout = *s;
    }
    common::Result<common::ProxyAccess> access = common::readProxyAccess(settings, kProxyDefaults);
    if (!access) return fail(access.why());
    static_cast<common::ProxyAccess &>(o) = std::move(*access);
    o.tlsCert = settings.text("--tls-cert");
    o.tlsKey = settings.text("--tls-key");
    if (o.tlsCert.empty() != o.tlsKey.empty())
        return fail("--tls-cert and --tls-key go together");
    if (const std::string port = settings.text("--tls-port"); !port.empty()) {
        const std::optional<int> p = common::parsePort(port);
        if (!p) return fail(settings.where("--tls-port") + ": not a port number: " + port);
        o.tlsPort = *p;
    }
    const common::Result<bool> requireTls = settings.flag("--require-tls");
    if (!requireTls) return fail(requireTls.why());
    o.requireTls = *requireTls;
    if ((o.tlsPort || o.requireTls) && o.tlsCert.empty())
        return fail(std::string(o.tlsPort ? "--tls-port" : "--require-tls") +
                    " needs --tls-cert and --tls-key");
    if (const std::string mode = settings.text("--server-tls"); !mode.empty()) {
        static constexpr std::pair<const char *, ServerTls> kModes[] = {
            {"off", ServerTls::off},
            {"auto", ServerTls::automatic},
            {"stls", ServerTls::stls},
            {"implicit", ServerTls::implicit}};
        bool known = false;
        for (const auto &[word, m] : kModes)
            if (common::equalNoCase(mode, word)) {
                o.serverTls = m;
                known = true;
            }
        if (!known) return fail(settings.where("--server-tls") + ": not off, auto, stls or implicit: " + mode);
    }
    o.mapFile = settings.text("--map", "popmap");
    if (const std::string v = common::lowercase(common::trimBlanks(settings.text("--user-server"))); !v.empty()) {
        if (v != "on" && v != "off") return fail(settings.where("--user-server") + ": not on or off: " + v);
        o.userServer = v == "on";
    }
    const common::Result<int> login = settings.seconds("--login-timeout", o.loginTimeout, 1);
    if (!login) return fail(login.why());
    o.loginTimeout = *login;
    return o;
}

}  // namespace quessel
