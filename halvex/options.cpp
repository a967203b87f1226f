#include "halvex/options.h"

#include "common/asciitext.h"
#include "common/hostport.h"
#include "common/log.h"
#include "common/options.h"
#include "common/settings.h"

#include <fstream>
#include <sstream>
#include <utility>

#include "halvex/blocklist.h"
#include "halvex/https.h"

namespace halvex {

namespace {

using common::OptionRule;

const common::OptionTable &options() {
    static const common::OptionTable table = [] {
        common::OptionTable t{
            {"--start", "", "press \"start\" once the window has loaded its settings"},
            {"--block", "ENTRY", "add a block-list entry at start (repeatable)", true},
            {"--block-file", "FILE", "import the block-list entries of a file at start (repeatable)",
             true},
            {"--first-byte-timeout", "SECONDS", "time a new client has to send something (default 60)"},
            {"--max-pipelined", "N", "requests of one connection that may wait for answers (default 32)"},
            {"--make-ca", "DIR", "make a certificate authority for HTTPS inspection in DIR, say how to "
                                 "trust it, and end"},
            {"--inspect-https", "", "read inside HTTPS tunnels, with the authority of --ca-cert"},
            {"--ca-cert", "FILE", "the authority's certificate (PEM) for HTTPS inspection"},
            {"--ca-key", "FILE", "the authority's key (PEM), readable by its owner only"},
            {"--inspect-except", "LIST", "hosts and domains never inspected, separated by commas"},
            {"--inspect-except-file", "FILE", "a file of hosts never inspected, one a line as in "
                                              "a block-list file"},
            {"--inspect-learn", "yes|no", "a host whose client refused halvex's certificate passes "
                                          "uninspected for a day (default yes)"},
            {"--inspect-ports", "LIST", "the ports whose tunnels are inspected (default 443)"},
            {"--port", "N", "listen on port N (the window's ListenPort box, stored as plistenport)"},
            {"--upstream", "HOST:PORT|none",
             "the upstream proxy, or none: halvex connects itself (stored as proxyip, proxyport)"},
            {"--remove-cookies", "on|off", "Remove all Cookies (stored as cookie: the marker)"},
            {"--block-disconnect", "on|off", "Block (disconnect) (stored as headerfilter)"},
            {"--block-send-empty", "on|off", "Block (send empty) (stored as empty)"},
            {"--remove-pictures", "on|off", "Remove Pictures (stored as pic)"},
        };
        common::addProxyOptions(t, kProxyDefaults);
        return t;
    }();
    return table;
}

}  // namespace

std::string usage() {
    return common::usageText(
        "halvex [OPTION]...", options().rules(),
        "The listen port, the upstream proxy and the filter switches are set in the window and\n"
        "stored (plistenport, proxyip, proxyport, cookie, headerfilter, empty, pic); the other\n"
        "options can also be stored by their names without dashes (allowclients, idletimeout...).\n"
        "A service reads them from --config /etc/tessaruno/halvex.conf, one name = value a line.\n");
}

std::vector<std::string> storedNames() {
    std::vector<std::string> names{"plistenport", "proxyip", "proxyport", "debug",
                                   "cookie", "headerfilter", "empty", "pic"};
    for (const common::OptionRule &r : options().rules()) {
        const std::string n = common::Settings::storedName(r.name);
        // What only the command line gives: pressing start, and the lists added at start.
        if (r.value.empty() || r.repeatable || n == "config" || n == "port" || n == "upstream" || n == "makeca" ||
            n.starts_with("remove") || n.starts_with("blockdisconnect") || n.starts_with("blocksend"))
            continue;
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
    o.start = cl->has("--start");
    o.block = cl->values("--block");
    o.blockFiles = cl->values("--block-file");
    for (const std::string &f : o.blockFiles)
        if (f.empty()) return fail("--block-file needs a file name");
    const common::Settings settings(*cl, stored);
    common::Result<common::ProxyAccess> access = common::readProxyAccess(settings, kProxyDefaults);
    if (!access) return fail(access.why());
    static_cast<common::ProxyAccess &>(o) = std::move(*access);
    common::Result<int> first = settings.seconds("--first-byte-timeout", o.firstByteTimeout);
    if (!first) return fail(first.why());
    o.firstByteTimeout = *first;
    common::Result<int> pipelined = settings.count("--max-pipelined", o.maxPipelined, 1);
    if (!pipelined) return fail(pipelined.why());
    o.maxPipelined = *pipelined;

    if (const std::string *dir = cl->value("--make-ca")) o.makeCa = *dir;
    if (cl->has("--make-ca") && o.makeCa.empty()) return fail("--make-ca needs a folder");
    const common::Result<bool> inspect = settings.flag("--inspect-https");
    if (!inspect) return fail(inspect.why());
    o.inspectHttps = *inspect;
    o.caCert = settings.text("--ca-cert");
    o.caKey = settings.text("--ca-key");
    if (o.caCert.empty() != o.caKey.empty())
        return fail(std::string(o.caCert.empty() ? "--ca-cert" : "--ca-key") +
                    ": the authority needs both its certificate (--ca-cert) and its key (--ca-key)");
    if (o.inspectHttps && o.caCert.empty() && cl->has("--inspect-https"))
        return fail("--inspect-https: HTTPS inspection needs an authority (--ca-cert and --ca-key; halvex "
                    "--make-ca DIR makes one)");
    const std::string except = settings.text("--inspect-except");
    for (std::string_view list = except; !list.empty();) {
        const std::size_t comma = std::min(list.find(','), list.size());
        const std::string entry = normalEntry(common::trimSpaces(list.substr(0, comma)));
        if (!entry.empty()) o.inspectExcept.push_back(entry);
        list.remove_prefix(std::min(comma + 1, list.size()));
    }
    if (const std::string file = settings.text("--inspect-except-file"); !file.empty()) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream text;
        if (in) text << in.rdbuf();
        if (!in || in.bad())
            return fail(settings.where("--inspect-except-file") + ": cannot read " + file);
        for (const std::string &e : blockfileentries(text.str()))
            o.inspectExcept.push_back(normalEntry(e));
    }
    if (const std::string learn = settings.text("--inspect-learn"); !learn.empty()) {
        const std::string l = common::lowercase(learn);
        if (l == "yes" || l == "on" || l == "1" || l == "true")
            o.inspectLearn = true;
        else if (l == "no" || l == "off" || l == "0" || l == "false")
            o.inspectLearn = false;
        else
            return fail(settings.where("--inspect-learn") + ": yes or no, not " + learn);
    }
    std::string why;
    if (!parsePorts(settings.text("--inspect-ports"), o.inspectPorts, why))
        return fail(settings.where("--inspect-ports") + ": " + why);
    // The window's settings: checked here, so that a wrong one is found before the window opens
    // (and by --check-config), and given by the command line for one run.
    if (const std::string *v = cl->value("--port")) {
        const std::optional<int> port = common::parsePort(common::trimBlanks(*v));
        if (!port) return fail("--port: not a port number: " + *v);
        o.port = *port;
    } else if (const std::string v = std::string(common::trimBlanks(settings.text("--port", "plistenport")));
               !v.empty() && !common::parsePort(v)) {
        return fail(settings.where("--port", "plistenport") + ": not a port number: " + v);
    }
    if (const std::string *v = cl->value("--upstream")) {
        const std::string_view t = common::trimBlanks(*v);
        if (common::equalNoCase(t, "none")) {
            o.upstream = common::HostPort{};
        } else {
            common::Result<common::HostPort> up = common::parseHostPort(t, 0);
            if (!up || up->port <= 0)
                return fail("--upstream: not HOST:PORT or none: " + common::replytext(*v, 80));
            o.upstream = *up;
        }
    } else {
        const std::string host = std::string(common::trimBlanks(settings.text("--upstream", "proxyip")));
        const std::string port = std::string(common::trimBlanks(settings.text("--upstream", "proxyport")));
        if (!host.empty() && !common::parseHost(host))
            return fail(settings.where("--upstream", "proxyip") + ": not a host name or address: " +
                        common::replytext(host, 80));
        if (!host.empty() && !common::parsePort(port))
            return fail(settings.where("--upstream", "proxyport") +
                        (port.empty() ? ": the upstream proxy needs its port"
                                      : ": not a port number: " + common::replytext(port, 40)));
    }
    struct Switch {
        const char *option, *stored;
        std::optional<bool> Options::*field;
    };
    for (const Switch &s : {Switch{"--remove-cookies", "cookie", &Options::removeCookies},
                            Switch{"--block-disconnect", "headerfilter", &Options::blockDisconnect},
                            Switch{"--block-send-empty", "empty", &Options::blockSendEmpty},
                            Switch{"--remove-pictures", "pic", &Options::removePictures}}) {
        if (const std::string *v = cl->value(s.option)) {
            const std::optional<bool> on = switchValue(*v);
            if (!on || common::trimBlanks(*v).empty())
                return fail(std::string(s.option) + ": not on or off: " + common::replytext(*v, 40));
            o.*s.field = *on;
        } else if (std::string_view(s.stored) != "cookie") {  // the cookie value is the marker
            const std::string v = settings.text(s.option, s.stored);
            if (!switchValue(v))
                return fail(settings.where(s.option, s.stored) + ": not on or off: " +
                            common::replytext(v, 40));
        }
    }
    return o;
}

}  // namespace halvex
