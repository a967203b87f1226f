// The events of a relay-slot fuzz input, and the rules every slot keeps whatever its program.
// Each event is two bytes, what and how many bytes follow, then those bytes: what % 8 is the
// kind, what & 8 the server side, what & 16 a partner with no room, what >> 5 the seconds that
// passed before it.
#pragma once

#include "common/relaycore.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

class RelayEvents {
public:
    RelayEvents(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool next(common::RelayEvent &e) {
        if (at_ + 2 > size_) return false;
        const uint8_t op = data_[at_], len = data_[at_ + 1];
        at_ += 2;
        const size_t take = std::min<size_t>(len, size_ - at_);
        now_ += 1000 * (op >> 5);
        e = common::RelayEvent();
        e.kind = common::RelayEvent::Kind(op % 8);
        e.side = (op & 8) ? common::Side::server : common::Side::client;
        e.bytes = std::string_view(reinterpret_cast<const char *>(data_ + at_), take);
        e.room = (op & 16) ? 0 : 1 << 20;
        e.now = now_;
        at_ += take;
        return true;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
    common::Millis now_ = 0;
};

// A release is the last action of its event, and a released slot does nothing more.
inline void checkrelease(const common::RelayActions &actions, bool &released) {
    if (released && actions.size() > 0) std::abort();
    for (size_t k = 0; k < actions.size(); ++k) {
        if (actions[k].kind != common::RelayAction::release) continue;
        if (k + 1 != actions.size()) std::abort();
        released = true;
    }
}

// The room a measure action asks for comes back at once, as from the shell; `room` as the
// event's.
inline void answermeasures(common::RelaySlot &slot, const common::RelayActions &actions,
                           std::int64_t room, common::Millis now, bool &released) {
    for (const common::RelayAction &a : actions) {
        if (a.kind != common::RelayAction::measure) continue;
        common::RelayEvent m;
        m.kind = common::RelayEvent::measured;
        m.side = a.side;
        m.room = room;
        m.now = now;
        const common::RelayActions more = slot.step(m);
        checkrelease(more, released);
    }
}
