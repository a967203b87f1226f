// What halvex does with a slot's bytes on their way through the relay: the first chunk of a
// connection opens the upstream connection and is inspected once it is there; GET requests in
// proxy form (an absolute http: address as their target) are logged and pass the request filter,
// responses pass the response filter. Everything else is relayed as it is.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/relaycore.h"
#include "common/tracetext.h"

namespace halvex {

// The request target of a connection's first chunk, or "" when the chunk is relayed without being
// logged or filtered. The chunk must hold "GET"; the target is the text after the first "GET " up
// to the next space (spaces trimmed), and it must mention "http:" in any case. A chunk that ends
// before that space gives "".
std::string requesttarget(std::string_view pending);

// The same for a later chunk on a kept-alive connection: only a chunk that begins with "GET "
// starts a new request.
std::string latertarget(std::string_view chunk);

// Shown in the URL list and the traces with their control bytes escaped.
using common::escapecontrols;
using common::EscapeOptions;

// What the proxy window's controls say, read by every slot when it needs it: the upstream proxy
// for the next connection, the four switches, the block list and the cookie marker.
struct ProxySettings {
    std::string upstreamHost;
    int upstreamPort = -1;  // -1: the box holds no port number; connecting then fails
    bool cookie = false;     // "Remove all Cookies"
    bool blockme = false;    // "Block (disconnect)"
    bool sendempty = false;  // "Block (send empty)"
    bool rpictures = false;  // "Remove Pictures"
    std::vector<std::string> block;
    std::string cookiemarker;
    // A request that is logged: the slot and its target (the URL list shows them).
    std::function<void(int slot, std::string_view target)> logurl;
};

// One slot's inspection.
class Inspection : public common::RelayRules {
public:
    Inspection(const ProxySettings &settings, int slot) : settings_(settings), slot_(slot) {}

    Opening open(std::string_view bytes) override;
    Start connected() override;
    Pass relay(common::Side from, std::string_view bytes) override;

private:
    // A request in proxy form is logged and filtered in place; true when it is to be dropped with
    // its connection (a block-list entry matched).
    bool inspectrequest(std::string &text, const std::string &target);

    const ProxySettings &settings_;
    int slot_;
    std::string pending_;  // the first chunk, held until the upstream connection is there
    std::string host_;
    std::string filtered_;
};

}  // namespace halvex
