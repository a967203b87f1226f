#include "quessel/options.h"

#include <charconv>

#include "common/hostport.h"

namespace quessel {

const char *const kUsage =
    "usage: quessel [--port N] [--server-port N] [--bind ADDRESS] [--server-timeout SECONDS]\n"
    "  --port N                 listen for mail clients on port N (default 110)\n"
    "  --server-port N          connect to every POP3 server on port N (default 110)\n"
    "  --bind ADDRESS           listen on this address only (default: every interface)\n"
    "  --server-timeout SECONDS time a server has to send its greeting (default 30)\n"
    "Mail clients log in as USERNAME|SERVER.\n";

namespace {

bool number(const std::string &text, int low, int high, int &out) {
    int v = 0;
    const char *first = text.data(), *last = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(first, last, v);
    if (text.empty() || ec != std::errc() || ptr != last || v < low || v > high) return false;
    out = v;
    return true;
}

}  // namespace

common::Result<Options> parseOptions(const std::vector<std::string> &args) {
    using common::fail;
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        bool inlineValue = false;
        if (std::size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            inlineValue = true;
        }
        if (name == "--help" || name == "-h") {
            o.help = true;
            continue;
        }
        if (name != "--port" && name != "--server-port" && name != "--bind" &&
            name != "--server-timeout")
            return fail("unknown argument: " + args[i]);
        if (!inlineValue) {
            if (i + 1 >= args.size()) return fail(name + " needs a value");
            value = args[++i];
        }
        if (name == "--port" || name == "--server-port") {
            const std::optional<int> port = common::parsePort(value);
            if (!port) return fail(name + ": not a port number: " + value);
            (name == "--port" ? o.port : o.serverPort) = *port;
        } else if (name == "--server-timeout") {
            if (!number(value, 1, 86400, o.serverTimeout))
                return fail("--server-timeout: not a number of seconds from 1 to 86400: " + value);
        } else {
            if (value.empty()) return fail("--bind needs an address");
            o.bind = value;
        }
    }
    return o;
}

}  // namespace quessel
