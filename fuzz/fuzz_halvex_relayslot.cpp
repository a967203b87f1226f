// A slot of halvex's relay under any sequence of events, with and without an upstream proxy and
// any switches: client and server bytes cut anywhere, ends, failures, drains and ticks in any
// order. Whatever happens: a release is the last action of its event and a released slot does
// nothing more; with an upstream proxy every server side goes to that proxy, and a new one only
// once the last has ended; nothing is logged that no request line holds.
#include "common/relaycore.h"
#include "halvex/inspect.h"
#include "relayevents.h"

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
    bool serverOpen = false;
    bool released = false;
    RelayEvents events(data + 1, size - 1);
    while (events.next(e)) {
        if (e.side == common::Side::server &&
            (e.kind == common::RelayEvent::ended || e.kind == common::RelayEvent::failed))
            serverOpen = false;
        const common::RelayActions actions = slot.step(e);
        checkrelease(actions, released);
        answermeasures(slot, actions, e.room, e.now, released);
        for (const common::RelayAction &a : actions) {
            if (a.kind != common::RelayAction::connect) continue;
            if (!settings.direct() && (serverOpen || a.bytes != "proxy.test")) std::abort();
            serverOpen = true;
        }
    }
    return 0;
}
