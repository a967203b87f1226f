#include "halvex/options.h"

#include "common/asciitext.h"
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
        "stored; --allow-clients, --allow-servers and the limits can also be stored under the shared\n"
        "key by their names without dashes (allowclients, allowservers, firstbytetimeout,\n"
        "idletimeout, maxperclient, inspecthttps, cacert, cakey, inspectexcept,\n"
        "inspectexceptfile, inspectlearn, inspectports).\n");
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
    o.inspectHttps = settings.flag("--inspect-https");
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
    return o;
}

}  // namespace halvex
