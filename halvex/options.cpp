#include "halvex/options.h"

#include "common/log.h"
#include "common/options.h"
#include "common/settings.h"

#include <utility>

namespace halvex {

namespace {

using common::OptionRule;

constexpr OptionRule kOptions[] = {
    {"--start", "", "press \"start\" once the window has loaded its settings"},
    {"--bind", "ADDRESS", "listen on this address only (default: every interface)"},
    {"--block", "ENTRY", "add a block-list entry at start (repeatable)", true},
    {"--block-file", "FILE", "import the block-list entries of a file at start (repeatable)", true},
    {"--allow-servers", "LIST",
     "with no upstream proxy: servers on this machine or a private network that may be used"},
    {"--allow-clients", "LIST", "addresses and ranges that may use the proxy (default: local networks)"},
    {"--first-byte-timeout", "SECONDS", "time a new client has to send something (default 60)"},
    {"--idle-timeout", "SECONDS", "time a connection may be silent both ways (default 900)"},
    {"--max-per-client", "N", "connections from one client address (default 256)"},
    {"--proxy-protocol", "LIST",
     "balancers whose connections begin with a PROXY header naming the client (default: none)"},
    {"--log-level", "LEVEL", "what goes to stderr: error, info (the default) or debug"},
};

}  // namespace

std::string usage() {
    return common::usageText(
        "halvex [OPTION]...", kOptions,
        "The listen port, the upstream proxy and the filter switches are set in the window and\n"
        "stored; --allow-clients, --allow-servers and the limits can also be stored under the shared\n"
        "key by their names without dashes (allowclients, allowservers, firstbytetimeout,\n"
        "idletimeout, maxperclient).\n");
}

common::Result<Options> parseOptions(const std::vector<std::string> &args,
                                     const StoredValue &stored) {
    using common::fail;
    const common::Result<common::CommandLine> cl = common::parseCommandLine(kOptions, args);
    if (!cl) return fail(cl.why());
    Options o;
    o.help = cl->help();
    o.version = cl->version();
    o.start = cl->has("--start");
    if (const std::string *v = cl->value("--bind")) {
        if (v->empty()) return fail("--bind needs an address");
        o.bind = *v;
    }
    o.block = cl->values("--block");
    o.blockFiles = cl->values("--block-file");
    for (const std::string &f : o.blockFiles)
        if (f.empty()) return fail("--block-file needs a file name");
    const common::Settings settings(*cl, stored);
    common::Result<common::ProxyAccess> access = common::readProxyAccess(settings);
    if (!access) return fail(access.why());
    static_cast<common::ProxyAccess &>(o) = std::move(*access);
    // 0 turns a time limit off.
    common::Result<int> first = settings.seconds("--first-byte-timeout", o.firstByteTimeout);
    if (!first) return fail(first.why());
    o.firstByteTimeout = *first;
    common::Result<int> idle = settings.seconds("--idle-timeout", o.idleTimeout);
    if (!idle) return fail(idle.why());
    o.idleTimeout = *idle;
    common::Result<int> per = settings.count("--max-per-client", o.maxPerClient, 1);
    if (!per) return fail(per.why());
    o.maxPerClient = *per;
    return o;
}

}  // namespace halvex
