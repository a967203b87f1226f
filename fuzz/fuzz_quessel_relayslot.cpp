// A slot of quessel's relay under any sequence of events: client and server bytes cut anywhere,
// ends, failures, drains and ticks in any order. Whatever happens: the server side is opened at
// most once, nothing of the client's goes to the server before its greeting was accepted (only the
// proxy's own CAPA and STLS), a release is the last
// action of its event, and a released slot does nothing more.
#include "common/relaycore.h"
#include "quessel/loginline.h"
#include "relayevents.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    quessel::LoginPolicy policy;
    policy.clientTls = {true, false};
    quessel::LoginRules rules(policy);
    common::RelayLimits limits;
    limits.login = 60000;
    limits.greeting = 30000;
    limits.idle = 600000;
    common::RelaySlot slot(rules, limits);
    common::RelayEvent e;
    e.kind = common::RelayEvent::accepted;
    slot.step(e);
    int connects = 0;
    bool greeted = false;
    bool released = false;
    RelayEvents events(data, size);
    while (events.next(e)) {
        const common::RelaySlot::Phase before = slot.phase();
        const common::RelayActions actions = slot.step(e);
        checkrelease(actions, released);
        answermeasures(slot, actions, e.room, e.now, released);
        for (const common::RelayAction &a : actions) {
            if (a.kind == common::RelayAction::connect && ++connects > 1) std::abort();
            if (a.kind == common::RelayAction::send && a.side == common::Side::server) {
                const bool accepting = before == common::RelaySlot::Phase::greeting &&
                                       slot.phase() == common::RelaySlot::Phase::relaying;
                // Before that only the proxy's own questions go to the server.
                const bool own = a.bytes == "CAPA\r\n" || a.bytes == "STLS\r\n";
                if (!greeted && !accepting && !own) std::abort();
            }
        }
        if (slot.phase() == common::RelaySlot::Phase::relaying) greeted = true;
    }
    return 0;
}
