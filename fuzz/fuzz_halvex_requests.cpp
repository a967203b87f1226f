// A client's bytes through halvex's rules, cut where the input says, with and without an upstream
// proxy (seeds: the HTTP corpus of tests/data/http). Whatever arrives: every request halvex sends
// on begins with a method in its one form, one blank and a target; a release is the last action of
// its event; a released slot does nothing more.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/relaycore.h"
#include "halvex/httpframe.h"
#include "halvex/inspect.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const bool direct = data[0] & 1;
    const size_t cut = 1 + (data[0] >> 1) % 64;
    std::string_view in(reinterpret_cast<const char *>(data + 1), size - 1);
    halvex::ProxySettings settings;
    if (!direct) {
        settings.upstreamHost = "proxy.test";
        settings.upstreamPort = 3128;
    }
    settings.blockme = data[0] & 2;
    settings.block = {"blocked.test"};
    halvex::Inspection rules(settings, 1);
    common::RelayLimits limits;
    common::RelaySlot slot(rules, limits);
    bool released = false;
    std::string sent;
    auto step = [&](common::RelayEvent::Kind kind, common::Side side, std::string_view bytes) {
        common::RelayEvent e;
        e.kind = kind;
        e.side = side;
        e.bytes = bytes;
        e.room = 1 << 20;
        const common::RelayActions actions = slot.step(e);
        for (std::size_t k = 0; k < actions.size(); ++k) {
            if (released) std::abort();
            if (actions[k].kind == common::RelayAction::release) {
                if (k + 1 != actions.size()) std::abort();
                released = true;
            }
            if (actions[k].kind == common::RelayAction::send && actions[k].side == common::Side::server)
                sent.append(actions[k].bytes);
        }
    };
    step(common::RelayEvent::accepted, common::Side::client, {});
    while (!in.empty() && !released) {
        const std::string_view piece = in.substr(0, cut);
        in.remove_prefix(piece.size());
        step(common::RelayEvent::data, common::Side::client, piece);
        if (slot.phase() == common::RelaySlot::Phase::connecting)
            step(common::RelayEvent::connected, common::Side::server, {});
    }
    // What went on as HTTP starts as a request in its one form.
    if (!rules.otherProtocol() && !sent.empty()) {
        const std::string_view method = std::string_view(sent).substr(0, sent.find(' '));
        if (halvex::canonicalMethod(method) != method) std::abort();
        if (sent.size() > method.size() + 1 && sent[method.size() + 1] == ' ') std::abort();
    }
    if (!released) step(common::RelayEvent::data, common::Side::server, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    rules.finish();
    return 0;
}
