#include "halvex/options.h"

#include "common/log.h"
#include "common/options.h"
#include "common/settings.h"

#include <utility>

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
        "idletimeout, maxperclient).\n");
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
    return o;
}

}  // namespace halvex
