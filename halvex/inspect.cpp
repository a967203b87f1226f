#include "halvex/inspect.h"

#include "common/asciitext.h"
#include "halvex/filters.h"

namespace halvex {

std::string requesttarget(std::string_view pending) {
    constexpr auto npos = std::string_view::npos;
    if (pending.find("GET") == npos) return {};

    // Everything after the first "GET "; with no "GET " at all, everything but the first three
    // characters.
    const auto get = pending.find("GET ");
    std::string_view u = common::trimSpaces(pending.substr(get == npos ? 3 : get + 4));

    // The target ends at the first space; a chunk that stops before it gives nothing.
    const auto space = u.find(' ');
    u = space == npos ? std::string_view{} : common::trimSpaces(u.substr(0, space));

    if (u.empty() || common::lowercase(u).find("http:") == npos) return {};
    return std::string(u);
}

std::string latertarget(std::string_view chunk) {
    if (!chunk.starts_with("GET ")) return {};
    return requesttarget(chunk);
}

// ---- one slot ----

bool Inspection::inspectrequest(std::string &text, const std::string &target) {
    if (settings_.logurl) settings_.logurl(slot_, target);
    FilteredRequest r = filterrequest(text, RequestSettings{settings_.cookie, settings_.blockme,
                                                            settings_.block,
                                                            settings_.cookiemarker});
    text = std::move(r.text);
    return r.release;
}

common::RelayRules::Opening Inspection::open(std::string_view bytes) {
    // The first data opens the upstream connection, to the proxy the window names now.
    pending_.assign(bytes);
    host_ = settings_.upstreamHost;
    Opening o;
    o.connect = true;
    o.host = host_;
    o.port = settings_.upstreamPort;
    return o;
}

common::RelayRules::Start Inspection::connected() {
    Start s;
    if (pending_.find("GET") != std::string::npos) {
        const std::string target = requesttarget(pending_);
        if (!target.empty()) s.release = inspectrequest(pending_, target);
    }
    s.send = pending_;
    return s;
}

common::RelayRules::Pass Inspection::relay(common::Side from, std::string_view bytes) {
    // Nothing reads the first chunk once it is sent: its memory goes back.
    if (!pending_.empty()) std::string().swap(pending_);
    if (from == common::Side::server) {
        const std::string_view canned = filterresponse(
            bytes, ResponseSettings{settings_.sendempty, settings_.rpictures, settings_.block});
        // The canned reply stands for the whole response: the connection ends once it is written,
        // so nothing of the blocked response can follow it.
        if (!canned.empty()) return {canned, true};
        return {bytes, false};
    }
    // A kept-alive browser sends its next request on the same connection: it is logged and
    // filtered like the first one.
    if (bytes.size() > 4 && bytes.compare(0, 4, "GET ") == 0) {
        const std::string target = latertarget(bytes);
        if (!target.empty()) {
            filtered_.assign(bytes);
            // A blocked request never reaches the upstream: the slot ends in its place.
            if (inspectrequest(filtered_, target)) return {{}, true};
            return {filtered_, false};
        }
    }
    return {bytes, false};
}

}  // namespace halvex
