// A slot of halvex's relay under any sequence of events, with and without an upstream proxy and
// any switches: client and server bytes cut anywhere, ends, failures, drains and ticks in any
// order. Whatever happens: a release is the last action of its event and a released slot does
// nothing more; with an upstream proxy the server side is opened once, to that proxy; nothing is
// logged that no request line holds.
#include "common/relaycore.h"
#include "halvex/inspect.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    halvex::ProxySettings settings;
    if (flags & 1) {
        settings.upstreamHost = "proxy.test";
        settings.upstreamPort = 3128;
    }
    settings.cookie = flags & 2;
    settings.blockme = flags & 4;
    settings.sendempty = flags & 8;
    settings.rpictures = flags & 16;
    settings.cookiemarker = "tessaruno";
    settings.block = {"blocked.test", "ads"};
    settings.logurl = [](int, std::string_view target) {
        if (target.starts_with("CONNECT ")) target.remove_prefix(8);
        for (unsigned char c : target)
            if (c <= ' ' || c == 0x7f) std::abort();
    };
    halvex::Inspection rules(settings, 1);
    common::RelayLimits limits;
    limits.login = 60000;
    limits.idle = 900000;
    common::RelaySlot slot(rules, limits);
    common::RelayEvent e;
    e.kind = common::RelayEvent::accepted;
    slot.step(e);
    int connects = 0;
    bool released = false;
    size_t i = 1;
    while (i + 2 <= size) {
        const uint8_t op = data[i], len = data[i + 1];
        i += 2;
        const size_t take = std::min<size_t>(len, size - i);
        e = common::RelayEvent();
        e.kind = common::RelayEvent::Kind(op % 7);
        e.side = (op & 8) ? common::Side::server : common::Side::client;
        e.bytes = std::string_view(reinterpret_cast<const char *>(data + i), take);
        e.room = (op & 16) ? 0 : 1 << 20;
        e.now += 1000 * (op >> 5);
        i += take;
        const common::RelayActions actions = slot.step(e);
        if (released && actions.size() > 0) std::abort();
        for (size_t k = 0; k < actions.size(); ++k) {
            const common::RelayAction &a = actions[k];
            if (a.kind == common::RelayAction::release) {
                if (k + 1 != actions.size()) std::abort();
                released = true;
            }
            if (a.kind == common::RelayAction::connect) {
                ++connects;
                if (!settings.direct() && (connects > 1 || a.bytes != "proxy.test")) std::abort();
            }
        }
    }
    return 0;
}
