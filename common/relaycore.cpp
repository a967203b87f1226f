#include "common/relaycore.h"

#include <algorithm>

namespace common {

RelayRules::Greeting RelayRules::greet(std::string_view bytes) {
    Greeting g;
    g.kind = Greeting::accept;
    g.toClient = bytes;
    return g;
}

std::string RelayRules::failure(Failure, std::string_view) {
    return {};
}

// The one place the phase changes; `why` names the transition.
void RelaySlot::enter(Phase next, const char *why) {
    phase_ = next;
    transition_ = why;
}

RelayActions RelaySlot::step(const RelayEvent &e) {
    RelayActions a;
    if (phase_ == Phase::released) return a;
    switch (e.kind) {
        case RelayEvent::accepted:
            onAccepted(e, a);
            break;
        case RelayEvent::connected:
            onConnected(e, a);
            break;
        case RelayEvent::data:
            onData(e, a);
            break;
        case RelayEvent::ended:
            onEnded(e, a);
            break;
        case RelayEvent::failed:
            onFailed(e, a);
            break;
        case RelayEvent::drained:
            onDrained(e, a);
            break;
        case RelayEvent::tick:
            onTick(e, a);
            break;
        case RelayEvent::encrypted:
            onEncrypted(e, a);
            break;
        case RelayEvent::carried:
            if (phase_ != Phase::accepted) break;
            lastMoved_ = e.now;
            enter(Phase::relaying, "a plain tunnel, carried on");
            a.add(RelayAction::resume, Side::client);
            a.add(RelayAction::resume, Side::server);
            break;
        case RelayEvent::measured:
            // What the partner can take decides how much more of the source is read.
            if (phase_ == Phase::relaying && !rulesHeld_[index(partner(e.side))])
                flow(partner(e.side), e.room, a);
            break;
    }
    return a;
}

void RelaySlot::onAccepted(const RelayEvent &e, RelayActions &a) {
    lastMoved_ = e.now;
    if (limits_.firstByte > 0) firstByteAt_ = e.now + limits_.firstByte;
    if (limits_.login > 0) loginAt_ = e.now + limits_.login;
    if (std::string_view hello = rules_.welcome(); !hello.empty())
        a.add(RelayAction::send, Side::client, hello);
}

void RelaySlot::onData(const RelayEvent &e, RelayActions &a) {
    switch (phase_) {
        case Phase::accepted: {
            if (e.side != Side::client) return;
            firstByteAt_ = kNever;
            lastMoved_ = e.now;
            const RelayRules::Opening o = rules_.open(e.bytes);
            if (!o.reply.empty()) a.add(RelayAction::send, Side::client, o.reply);
            if (o.close) {
                release(a, "the rules ended the slot before any server");
                return;
            }
            if (o.upgrade) {
                a.add(RelayAction::starttls, Side::client);
                return;
            }
            if (!o.connect) return;
            // Whatever the client says next waits in the kernel, in order, until the relay starts.
            a.add(RelayAction::pause, Side::client);
            a.add(o.tls ? RelayAction::connectTls : RelayAction::connect, Side::server, o.host,
                  o.port);
            loginAt_ = kNever;
            if (limits_.greeting > 0) greetingAt_ = e.now + limits_.greeting;
            enter(Phase::connecting, "server side opened");
            return;
        }
        case Phase::connecting:
        case Phase::greeting: {
            if (e.side == Side::client) {
                // Read before the pause took hold: it stays in its socket for the relay.
                a.keep = true;
                a.add(RelayAction::pause, Side::client);
                return;
            }
            if (phase_ != Phase::greeting) return;
            applyGreeting(rules_.greet(e.bytes), e.now, a);
            return;
        }
        case Phase::relaying: {
            const RelayRules::Pass p = rules_.relay(e.side, e.bytes);
            lastMoved_ = e.now;
            a.add(RelayAction::trace, e.side, e.bytes);
            if (!p.send.empty()) a.add(RelayAction::send, partner(e.side), p.send);
            if (!p.sendAfter.empty()) a.add(RelayAction::send, partner(e.side), p.sendAfter);
            if (!p.reply.empty()) a.add(RelayAction::send, e.side, p.reply);
            if (p.release) {
                release(a, e.side == Side::client ? "the rules ended the slot on the client's words"
                                                  : "the rules ended the slot on the server's words");
                return;
            }
            if (p.reconnect) {
                reopen(p.host, p.port, e.now, a);
                return;
            }
            if (p.hold) {
                rulesHeld_[index(e.side)] = true;
                a.add(RelayAction::pause, e.side);
                return;
            }
            // The partner the rules held is read again, unless its own partner is full.
            const Side other = partner(e.side);
            if (p.resumePartner && rulesHeld_[index(other)]) {
                rulesHeld_[index(other)] = false;
                if (!flowHeld_[index(other)] && !ended_[index(other)]) a.add(RelayAction::resume, other);
            }
            // The room is measured after the send: the kernel may have passed some of it on.
            if (!p.send.empty()) a.add(RelayAction::measure, partner(e.side));
            return;
        }
        case Phase::released:
            return;
    }
}

void RelaySlot::applyGreeting(const RelayRules::Greeting &g, Millis now, RelayActions &a) {
    switch (g.kind) {
        case RelayRules::Greeting::wait:
            return;
        case RelayRules::Greeting::send:
            // The rules' own words to the server (CAPA, STLS): not the client's, not traced.
            if (!g.toServer.empty()) a.add(RelayAction::send, Side::server, g.toServer);
            return;
        case RelayRules::Greeting::upgrade:
            if (!g.toServer.empty()) a.add(RelayAction::send, Side::server, g.toServer);
            a.add(RelayAction::starttls, Side::server, g.tlsName);
            transition_ = "securing the server side";
            return;
        case RelayRules::Greeting::refuse:
            reply_ = std::string(g.toClient);
            if (!reply_.empty()) a.add(RelayAction::send, Side::client, reply_);
            release(a, "the rules refused the server");
            return;
        case RelayRules::Greeting::accept:
            if (!g.toServer.empty()) {
                a.add(RelayAction::trace, Side::client, g.toServer, 1);
                a.add(RelayAction::send, Side::server, g.toServer);
            }
            if (!g.toClient.empty()) {
                a.add(RelayAction::trace, Side::server, g.toClient);
                a.add(RelayAction::send, Side::client, g.toClient);
            }
            if (g.secureClient) secureClient(a, g.clientHello);
            // The server's room is not known here: the client's next chunk is measured.
            startRelay(now, -1, 0, a);
            transition_ = "server accepted, relaying";
            return;
    }
}

void RelaySlot::onEncrypted(const RelayEvent &e, RelayActions &a) {
    if (e.side == Side::client) rules_.requestedName(e.bytes);
    const RelayRules::Greeting g = rules_.encrypted(e.side);
    if (e.side == Side::server && phase_ == Phase::greeting) {
        applyGreeting(g, e.now, a);
        return;
    }
    if (e.side == Side::client && phase_ == Phase::relaying &&
        g.kind == RelayRules::Greeting::refuse) {
        reply_ = std::string(g.toClient);
        if (!reply_.empty()) a.add(RelayAction::send, Side::client, reply_);
        release(a, "the rules refused the client's TLS");
    }
}

// The client's connection is secured once what was sent to it is written; until the handshake is
// done nothing of it is read.
void RelaySlot::secureClient(RelayActions &a, std::string_view taken) {
    a.add(RelayAction::starttls, Side::client, taken);
}

void RelaySlot::flow(Side source, std::int64_t room, RelayActions &a) {
    if (room < limits_.minRoom) {
        flowHeld_[index(source)] = true;
        a.add(RelayAction::pause, source);
        a.add(RelayAction::watch, partner(source));
        return;
    }
    a.add(RelayAction::limit, source, {}, room);
}

void RelaySlot::onConnected(const RelayEvent &e, RelayActions &a) {
    if (phase_ != Phase::connecting) return;
    const RelayRules::Start s = rules_.connected();
    if (!s.send.empty()) a.add(RelayAction::trace, Side::client, s.send, 1);
    if (s.release) {
        release(a, "the rules ended the slot on connecting");
        return;
    }
    if (!s.send.empty()) a.add(RelayAction::send, Side::server, s.send);
    if (!s.toClient.empty()) a.add(RelayAction::send, Side::client, s.toClient);
    if (s.secureClient) secureClient(a, s.clientHello);
    if (s.greet) {
        enter(Phase::greeting, "connected, waiting for the server's greeting");
        return;
    }
    startRelay(e.now, e.room, s.send.size(), a);
}

void RelaySlot::startRelay(Millis now, std::int64_t serverRoom, std::size_t sent, RelayActions &a) {
    enter(Phase::relaying, "connected, relaying");
    greetingAt_ = kNever;
    lastMoved_ = now;
    if (ended_[index(Side::client)]) {
        a.add(RelayAction::shutdown, Side::server);
        return;
    }
    if (serverRoom < 0) {
        a.add(RelayAction::resume, Side::client);
        return;
    }
    // As after a drain: one chunk at least, measured again when it is sent.
    const std::int64_t left = serverRoom - std::int64_t(sent);
    a.add(RelayAction::resume, Side::client, {}, std::max(left, limits_.minRoom));
}

void RelaySlot::onEnded(const RelayEvent &e, RelayActions &a) {
    switch (phase_) {
        case Phase::accepted:
            if (e.side == Side::client) release(a, "the client left before any server");
            return;
        case Phase::connecting:
        case Phase::greeting:
            if (e.side == Side::client) {
                ended_[index(Side::client)] = true;  // passed on once the relay starts
                return;
            }
            refuse(Failure::closedEarly, {}, e.now, a, "the server ended before it was accepted");
            return;
        case Phase::relaying: {
            const RelayRules::Pass p = rules_.ended(e.side);
            lastMoved_ = e.now;
            if (!p.send.empty()) a.add(RelayAction::send, partner(e.side), p.send);
            if (!p.sendAfter.empty()) a.add(RelayAction::send, partner(e.side), p.sendAfter);
            if (!p.reply.empty()) a.add(RelayAction::send, e.side, p.reply);
            if (p.release) {
                release(a, "the rules ended the slot on an end");
                return;
            }
            if (p.reconnect) {
                if (e.side == Side::client) ended_[index(Side::client)] = true;
                reopen(p.host, p.port, e.now, a);
                return;
            }
            ended_[index(e.side)] = true;
            if (ended_[0] && ended_[1]) {
                release(a, "both sides ended");
                return;
            }
            if (p.keepPartner) {
                a.add(RelayAction::shutdown, e.side);
                transition_ = e.side == Side::client ? "the client ended, the server stays"
                                                     : "the server ended, the client stays";
                return;
            }
            // The other side hears the end once its queue is written, and may still answer.
            a.add(RelayAction::shutdown, partner(e.side));
            transition_ = e.side == Side::client ? "the client ended, the server may answer"
                                                 : "the server ended, the client may answer";
            return;
        }
        case Phase::released:
            return;
    }
}

void RelaySlot::onFailed(const RelayEvent &e, RelayActions &a) {
    rules_.failed(e.side, e.bytes);
    if (e.side == Side::server && (phase_ == Phase::connecting || phase_ == Phase::greeting)) {
        refuse(Failure::unreachable, e.bytes, e.now, a, "the server side failed before it was accepted");
        return;
    }
    release(a, e.side == Side::client ? "the client failed" : "the server failed");
}

void RelaySlot::onDrained(const RelayEvent &e, RelayActions &a) {
    const Side source = partner(e.side);
    if (!flowHeld_[index(source)]) return;
    flowHeld_[index(source)] = false;
    if (phase_ != Phase::relaying || ended_[index(source)] || rulesHeld_[index(source)]) return;
    // The kernel reports a side drained once a third of its buffer is free, while the measured
    // room keeps a wide margin and may still be small: one whole chunk is read then (no limit),
    // not a sliver, and the chunk is measured again once it is sent, so the source is held back
    // at once if the partner cannot take more. Slivers would cost a pass through the event loop
    // each for the length of a slow reader's backlog.
    a.add(RelayAction::resume, source, {}, e.room >= limits_.minRoom ? e.room : 0);
}

void RelaySlot::onTick(const RelayEvent &e, RelayActions &a) {
    switch (phase_) {
        case Phase::accepted:
            if (e.now >= firstByteAt_)
                refuse(Failure::silent, {}, e.now, a, "the client said nothing in time");
            else if (e.now >= loginAt_)
                refuse(Failure::noLogin, {}, e.now, a, "no server named in time");
            return;
        case Phase::connecting:
        case Phase::greeting:
            if (e.now >= greetingAt_)
                refuse(Failure::noGreeting, {}, e.now, a, "the server was not accepted in time");
            return;
        case Phase::relaying:
            if (e.now >= nextDeadline())
                release(a, ended_[0] || ended_[1] ? "one side ended and the other stayed silent"
                                                   : "silent both ways");
            return;
        case Phase::released:
            return;
    }
}

Millis RelaySlot::nextDeadline() const {
    switch (phase_) {
        case Phase::accepted:
            return std::min(firstByteAt_, loginAt_);
        case Phase::connecting:
        case Phase::greeting:
            return greetingAt_;
        case Phase::relaying:
            if (ended_[0] || ended_[1])
                return limits_.linger > 0 ? lastMoved_ + limits_.linger : kNever;
            return limits_.idle > 0 ? lastMoved_ + limits_.idle : kNever;
        case Phase::released:
            return kNever;
    }
    return kNever;
}

void RelaySlot::refuse(Failure why, std::string_view reason, Millis now, RelayActions &a,
                       const char *transition) {
    RelayRules::Start alone;
    if (phase_ != Phase::accepted && rules_.withoutServer(why, reason, alone)) {
        // The client is answered by the rules alone; the server side is gone.
        if (!alone.toClient.empty()) a.add(RelayAction::send, Side::client, alone.toClient);
        if (alone.secureClient) secureClient(a, alone.clientHello);
        ended_[index(Side::server)] = true;
        enter(Phase::relaying, "relaying without a server");
        greetingAt_ = kNever;
        lastMoved_ = now;
        if (!ended_[index(Side::client)]) a.add(RelayAction::resume, Side::client);
        return;
    }
    reply_ = rules_.failure(why, reason);
    if (!reply_.empty()) a.add(RelayAction::send, Side::client, reply_);
    release(a, transition);
}

// The server side goes and a new one is opened; the client waits for it as on the first open.
void RelaySlot::reopen(std::string_view host, int port, Millis now, RelayActions &a) {
    a.add(RelayAction::pause, Side::client);
    a.add(RelayAction::connect, Side::server, host, port);
    ended_[index(Side::server)] = false;
    flowHeld_[0] = flowHeld_[1] = false;
    rulesHeld_[0] = rulesHeld_[1] = false;
    if (limits_.greeting > 0) greetingAt_ = now + limits_.greeting;
    enter(Phase::connecting, "server side opened anew");
}

void RelaySlot::release(RelayActions &a, const char *why) {
    a.add(RelayAction::release, Side::client);
    enter(Phase::released, why);
}

}  // namespace common
