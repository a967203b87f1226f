// The relay core as transcripts: events in, actions out, no sockets and no waits. The rules here
// are a small scripted stand-in; quessel's and halvex's own rules have transcripts of their own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/relaycore.h"

using namespace common;

namespace {

// Rules that open the server side on the line "open", answer anything else before that with
// "?", send "hello" first, and (when asked to) wait for a server greeting line "+OK".
class Scripted : public RelayRules {
public:
    bool wantGreeting = false;
    std::string welcomeText;
    std::string reply;

    std::string_view welcome() override { return welcomeText; }
    Opening open(std::string_view bytes) override {
        Opening o;
        if (bytes == "open" || bytes == "open tls") {
            o.connect = true;
            o.host = "server.test";
            o.port = 110;
            o.tls = bytes == "open tls";
        } else if (bytes == "upgrade") {
            o.reply = "+OK begin";
            o.upgrade = true;
        } else if (bytes == "bye") {
            o.reply = "bye";
            o.close = true;
        } else {
            o.reply = "?";
        }
        return o;
    }
    Start connected() override {
        Start s;
        s.send = "hello";
        s.greet = wantGreeting;
        return s;
    }
    // "+OK\r\n" as the greeting; with secure set, then STLS, its answer, and the TLS handshake.
    bool secure = false;
    bool stlsSent = false;
    Greeting encrypted(Side side) override {
        Greeting g;
        if (side == Side::server && stlsSent) {
            g.kind = Greeting::accept;
            g.toServer = "USER x";
        }
        return g;
    }
    Greeting greet(std::string_view bytes) override {
        Greeting g;
        if (secure && !stlsSent && bytes == "+OK\r\n") {
            g.kind = Greeting::send;
            g.toServer = "STLS\r\n";
            stlsSent = true;
            return g;
        }
        if (stlsSent) {
            g.kind = Greeting::upgrade;
            return g;
        }
        greeting += bytes;
        if (greeting.find('\n') == std::string::npos) return g;
        if (greeting.rfind("+OK", 0) != 0) {
            g.kind = Greeting::refuse;
            g.toClient = "-ERR refused";
            return g;
        }
        g.kind = Greeting::accept;
        rest = greeting.substr(greeting.find('\n') + 1);
        g.toClient = rest;
        return g;
    }
    std::string failure(Failure why, std::string_view reason) override {
        switch (why) {
            case Failure::unreachable:
                return "-ERR unreachable: " + std::string(reason);
            case Failure::closedEarly:
                return "-ERR closed";
            case Failure::noGreeting:
                return "-ERR no greeting";
            case Failure::noLogin:
                return "-ERR no login";
            case Failure::silent:
                return {};
        }
        return {};
    }

private:
    std::string greeting, rest;
};

const char *sideName(Side s) {
    return s == Side::client ? "client" : "server";
}

// The actions as lines: "send client ?", "pause client", "limit server 1000", "release".
std::vector<std::string> lines(const RelayActions &actions) {
    std::vector<std::string> out;
    for (const RelayAction &a : actions) {
        std::string l;
        switch (a.kind) {
            case RelayAction::send:
                l = std::string("send ") + sideName(a.side) + " " + std::string(a.bytes);
                break;
            case RelayAction::trace:
                l = std::string("trace ") + sideName(a.side) + (a.n ? " first " : " ") +
                    std::string(a.bytes);
                break;
            case RelayAction::pause:
                l = std::string("pause ") + sideName(a.side);
                break;
            case RelayAction::resume:
                l = std::string("resume ") + sideName(a.side) + " " + std::to_string(a.n);
                break;
            case RelayAction::limit:
                l = std::string("limit ") + sideName(a.side) + " " + std::to_string(a.n);
                break;
            case RelayAction::watch:
                l = std::string("watch ") + sideName(a.side);
                break;
            case RelayAction::measure:
                l = std::string("measure ") + sideName(a.side);
                break;
            case RelayAction::shutdown:
                l = std::string("shutdown ") + sideName(a.side);
                break;
            case RelayAction::connect:
                l = "connect " + std::string(a.bytes) + ":" + std::to_string(a.n);
                break;
            case RelayAction::connectTls:
                l = "connect tls " + std::string(a.bytes) + ":" + std::to_string(a.n);
                break;
            case RelayAction::starttls:
                l = std::string("starttls ") + sideName(a.side);
                break;
            case RelayAction::release:
                l = "release";
                break;
        }
        out.push_back(l);
    }
    if (actions.keep) out.push_back("keep");
    return out;
}

using Lines = std::vector<std::string>;

// The actions' lines; a measure is answered at once with `room`, as the shell does, and the
// answer's lines follow it.
Lines answered(RelaySlot &slot, const RelayActions &actions, std::int64_t room, Millis now) {
    Lines out = lines(actions);
    for (const RelayAction &a : actions) {
        if (a.kind != RelayAction::measure) continue;
        RelayEvent m;
        m.kind = RelayEvent::measured;
        m.side = a.side;
        m.room = room;
        m.now = now;
        const Lines more = lines(slot.step(m));
        out.insert(out.end(), more.begin(), more.end());
    }
    return out;
}

// One slot driven by events, with the time moved by hand.
struct Harness {
    Scripted rules;
    RelayLimits limits;
    RelaySlot slot{rules, limits};
    Millis now = 1000;

    Lines ev(RelayEvent::Kind kind, Side side = Side::client, std::string_view bytes = {},
             std::int64_t room = 0) {
        RelayEvent e;
        e.kind = kind;
        e.side = side;
        e.bytes = bytes;
        e.room = room;
        e.now = now;
        return answered(slot, slot.step(e), room, now);
    }
    Lines accept() { return ev(RelayEvent::accepted); }
    Lines client(std::string_view b, std::int64_t room = 1 << 20) {
        return ev(RelayEvent::data, Side::client, b, room);
    }
    Lines server(std::string_view b, std::int64_t room = 1 << 20) {
        return ev(RelayEvent::data, Side::server, b, room);
    }
    Lines connected(std::int64_t room = 1 << 20) {
        return ev(RelayEvent::connected, Side::server, {}, room);
    }
    Lines ended(Side s) { return ev(RelayEvent::ended, s); }
    Lines failed(Side s, std::string_view why) { return ev(RelayEvent::failed, s, why); }
    Lines drained(Side s, std::int64_t room) { return ev(RelayEvent::drained, s, {}, room); }
    Lines tick(Millis later) {
        now += later;
        return ev(RelayEvent::tick);
    }
    // Up to relaying, without a greeting.
    void relaying() {
        accept();
        client("open");
        connected();
        ASSERT_EQ(slot.phase(), RelaySlot::Phase::relaying);
    }
};

}  // namespace

TEST(RelayCore, OpeningTheServerSideHoldsTheClientUntilTheRelayStarts) {
    Harness h;
    h.rules.welcomeText = "+OK\r\n";
    EXPECT_EQ(h.accept(), Lines({"send client +OK\r\n"}));
    EXPECT_EQ(h.client("CAPA"), Lines({"send client ?"}));
    EXPECT_EQ(h.slot.phase(), RelaySlot::Phase::accepted);
    EXPECT_EQ(h.client("open"), Lines({"pause client", "connect server.test:110"}));
    EXPECT_EQ(h.slot.phase(), RelaySlot::Phase::connecting);
    // Bytes read just before the pause took hold stay in the client's socket.
    EXPECT_EQ(h.client("PASS x"), Lines({"pause client", "keep"}));
    EXPECT_EQ(h.connected(100000),
              Lines({"trace client first hello", "send server hello", "resume client 99995"}));
    EXPECT_EQ(h.slot.phase(), RelaySlot::Phase::relaying);
    EXPECT_EQ(h.client("PASS x", 50000),
              Lines({"trace client PASS x", "send server PASS x", "measure server",
                     "limit client 50000"}));
    EXPECT_EQ(h.server("+OK", 50000),
              Lines({"trace server +OK", "send client +OK", "measure client", "limit server 50000"}));
}

TEST(RelayCore, TheRulesMayEndASlotBeforeAnyServer) {
    Harness h;
    h.accept();
    EXPECT_EQ(h.client("bye"), Lines({"send client bye", "release"}));
    EXPECT_EQ(h.slot.phase(), RelaySlot::Phase::released);
    // Nothing happens to a released slot.
    EXPECT_EQ(h.client("more"), Lines());
    EXPECT_EQ(h.tick(1000000), Lines());
}

TEST(RelayCore, GreetingIsJudgedBeforeTheClientIsReadAgain) {
    Harness h;
    h.rules.wantGreeting = true;
    h.accept();
    h.client("open");
    EXPECT_EQ(h.connected(), Lines({"trace client first hello", "send server hello"}));
    EXPECT_EQ(h.slot.phase(), RelaySlot::Phase::greeting);
    EXPECT_EQ(h.server("+OK rea"), Lines());
    // The greeting line is dropped; what came after it goes to the client.
    EXPECT_EQ(h.server("dy\r\n+OK user"),
              Lines({"trace server +OK user", "send client +OK user", "resume client 0"}));
    EXPECT_EQ(h.slot.phase(), RelaySlot::Phase::relaying);

    Harness refused;
    refused.rules.wantGreeting = true;
    refused.accept();
    refused.client("open");
    refused.connected();
    EXPECT_EQ(refused.server("SSH-2.0-OpenSSH\r\n"), Lines({"send client -ERR refused", "release"}));
}

TEST(RelayCore, TlsOnEitherSideBeforeTheRelay) {
    // The client asks for TLS: the answer goes first, then the upgrade; it stays unlinked to the
    // server side.
    Harness h;
    h.accept();
    EXPECT_EQ(h.client("upgrade"), Lines({"send client +OK begin", "starttls client"}));
    EXPECT_EQ(h.ev(RelayEvent::encrypted, Side::client), Lines());
    EXPECT_EQ(h.slot.phase(), RelaySlot::Phase::accepted);
    EXPECT_EQ(h.client("open tls"), Lines({"pause client", "connect tls server.test:110"}));

    // The server is secured with STARTTLS before anything of the client's goes to it; the rules'
    // own words are not traced as the client's.
    Harness s;
    s.rules.wantGreeting = true;
    s.rules.secure = true;
    s.accept();
    s.client("open");
    s.connected();
    EXPECT_EQ(s.server("+OK\r\n"), Lines({"send server STLS\r\n"}));
    EXPECT_EQ(s.server("+OK begin\r\n"), Lines({"starttls server"}));
    EXPECT_EQ(s.slot.phase(), RelaySlot::Phase::greeting);
    EXPECT_EQ(s.ev(RelayEvent::encrypted, Side::server),
              Lines({"trace client first USER x", "send server USER x", "resume client 0"}));
    EXPECT_EQ(s.slot.phase(), RelaySlot::Phase::relaying);
    // A failed handshake is a server that cannot be used.
    Harness f;
    f.rules.wantGreeting = true;
    f.rules.secure = true;
    f.accept();
    f.client("open");
    f.connected();
    f.server("+OK\r\n");
    f.server("+OK\r\n");
    EXPECT_EQ(f.failed(Side::server, "certificate for server.test has expired"),
              Lines({"send client -ERR unreachable: certificate for server.test has expired", "release"}));
}

TEST(RelayCore, ServerFailingBeforeTheRelayGetsTheClientOneLine) {
    Harness h;
    h.accept();
    h.client("open");
    EXPECT_EQ(h.failed(Side::server, "connection refused"),
              Lines({"send client -ERR unreachable: connection refused", "release"}));

    Harness early;
    early.rules.wantGreeting = true;
    early.accept();
    early.client("open");
    early.connected();
    EXPECT_EQ(early.ended(Side::server), Lines({"send client -ERR closed", "release"}));
}

TEST(RelayCore, EitherSideFailingWhileRelayingReleasesTheSlot) {
    for (Side side : {Side::client, Side::server}) {
        Harness h;
        h.relaying();
        EXPECT_EQ(h.failed(side, "reset"), Lines({"release"})) << sideName(side);
    }
    Harness before;
    before.accept();
    before.client("open");
    EXPECT_EQ(before.failed(Side::client, "reset"), Lines({"release"}));
}

TEST(RelayCore, HalfCloseIsPassedOnFromEitherSide) {
    for (Side side : {Side::client, Side::server}) {
        SCOPED_TRACE(sideName(side));
        Harness h;
        h.relaying();
        EXPECT_EQ(h.ended(side), Lines({std::string("shutdown ") + sideName(partner(side))}));
        // The other side may still answer.
        const Side other = partner(side);
        const std::string toward = sideName(side);
        EXPECT_EQ(h.ev(RelayEvent::data, other, "answer", 1 << 20),
                  Lines({std::string("trace ") + sideName(other) + " answer",
                         "send " + toward + " answer", "measure " + toward,
                         std::string("limit ") + sideName(other) + " 1048576"}));
        EXPECT_EQ(h.ended(other), Lines({"release"}));
    }
    // A client that ends before any server is there leaves nothing to relay.
    Harness early;
    early.accept();
    EXPECT_EQ(early.ended(Side::client), Lines({"release"}));
    // One that ends while the server side connects has its end passed on once it is there.
    Harness connecting;
    connecting.accept();
    connecting.client("open");
    EXPECT_EQ(connecting.ended(Side::client), Lines());
    EXPECT_EQ(connecting.connected(),
              Lines({"trace client first hello", "send server hello", "shutdown server"}));
}

TEST(RelayCore, BackpressurePausesTheSourceAndResumesItWhenThePartnerDrains) {
    Harness h;
    h.relaying();
    // Little room left once the chunk is sent: the client is held until the server side drains.
    EXPECT_EQ(h.client(std::string(10000, 'x'), 10000),
              Lines({"trace client " + std::string(10000, 'x'), "send server " + std::string(10000, 'x'),
                     "measure server", "pause client", "watch server"}));
    // The client's own queue draining does not free the server.
    EXPECT_EQ(h.drained(Side::client, 1 << 20), Lines());
    EXPECT_EQ(h.drained(Side::server, 300000), Lines({"resume client 300000"}));
    // Draining again changes nothing.
    EXPECT_EQ(h.drained(Side::server, 300000), Lines());
    // Even with little room the source gets a whole chunk (no limit), and is measured again.
    h.client("y", 0);
    EXPECT_EQ(h.drained(Side::server, 10), Lines({"resume client 0"}));
    // No room at all: the bytes go (the socket queues them) and the source waits.
    EXPECT_EQ(h.server("z", 0), Lines({"trace server z", "send client z", "measure client",
                                       "pause server", "watch client"}));

    // A new connection with little room still lets the client's next chunk through, to be
    // measured when it is sent.
    Harness small;
    small.accept();
    small.client("open");
    EXPECT_EQ(small.connected(100),
              Lines({"trace client first hello", "send server hello", "resume client 16384"}));
}

TEST(RelayCore, EachDeadlineEndsASilentSlot) {
    // The client says nothing at all.
    Harness silent;
    silent.limits.firstByte = 60000;
    silent.accept();
    EXPECT_EQ(silent.slot.nextDeadline(), 61000);
    EXPECT_EQ(silent.tick(59999), Lines());
    EXPECT_EQ(silent.tick(1), Lines({"release"}));

    // The client talks but names no server; the limit runs from accept, not from each chunk.
    Harness login;
    login.limits.login = 60000;
    login.accept();
    login.tick(30000);
    login.client("CAPA");
    EXPECT_EQ(login.tick(29999), Lines());
    EXPECT_EQ(login.tick(1), Lines({"send client -ERR no login", "release"}));

    // The server connects but never greets.
    Harness greeting;
    greeting.limits.greeting = 5000;
    greeting.rules.wantGreeting = true;
    greeting.accept();
    greeting.client("open");
    greeting.connected();
    EXPECT_EQ(greeting.tick(4999), Lines());
    EXPECT_EQ(greeting.tick(1), Lines({"send client -ERR no greeting", "release"}));

    // One side has ended; the other stays silent.
    Harness linger;
    linger.limits.linger = 60000;
    linger.relaying();
    linger.ended(Side::client);
    linger.tick(50000);
    // Data keeps a half-ended slot alive.
    linger.server("still sending");
    EXPECT_EQ(linger.tick(59999), Lines());
    EXPECT_EQ(linger.tick(1), Lines({"release"}));

    // Silent both ways.
    Harness idle;
    idle.limits.idle = 900000;
    idle.relaying();
    idle.tick(899000);
    idle.client("x");
    EXPECT_EQ(idle.tick(899999), Lines());
    EXPECT_EQ(idle.tick(1), Lines({"release"}));
    // Without an idle limit a quiet slot stays.
    Harness open;
    open.relaying();
    EXPECT_EQ(open.slot.nextDeadline(), kNever);
    EXPECT_EQ(open.tick(1000000000), Lines());
}

namespace {

// Rules that play a proxy that serves more than one server: "A:..." and "B:..." name the server
// a client chunk is for, "hold" holds the client back, "bye" answers and ends, and the server's
// "done" ends its answer; an end of the server flushes what the rules held back.
class Switching : public RelayRules {
public:
    std::string server;  // the one connected or being connected
    std::string waiting;  // a server a held chunk is for
    std::string heldBack;  // server bytes not passed on yet
    bool keepClient = false;  // a server that ends leaves the client open
    std::string out;

    Opening open(std::string_view bytes) override {
        Opening o;
        server = std::string(bytes.substr(0, 1));
        o.connect = true;
        o.host = server;
        o.port = 80;
        return o;
    }
    Start connected() override {
        Start s;
        if (server == "T") s.toClient = "established";
        return s;
    }
    Pass relay(Side from, std::string_view bytes) override {
        Pass p;
        if (from == Side::client) {
            if (bytes == "hold") {
                p.hold = true;
            } else if (bytes == "bye") {
                p.reply = "bye";
                p.release = true;
            } else if (bytes.substr(0, 1) != server) {
                waiting = std::string(bytes.substr(0, 1));
                server = waiting;
                p.reconnect = true;
                p.host = server;
                p.port = 81;
            } else {
                p.send = bytes;
            }
            return p;
        }
        if (bytes == "done" && !waiting.empty()) {
            p.send = "last";
            p.reconnect = true;
            p.host = waiting;
            p.port = 82;
            return p;
        }
        if (bytes.starts_with("keep:")) {
            heldBack += bytes.substr(5);
            return p;
        }
        if (bytes.starts_with("head:")) {
            out = "HEAD|";
            p.send = out;
            p.sendAfter = bytes.substr(5);
            return p;
        }
        p.send = bytes;
        return p;
    }
    Pass ended(Side from) override {
        Pass p;
        if (from == Side::server) {
            out = heldBack;
            p.send = out;
            if (!waiting.empty()) {
                p.reconnect = true;
                p.host = waiting;
                p.port = 83;
            }
            p.keepPartner = keepClient;
        }
        return p;
    }
    std::string failure(Failure why, std::string_view reason) override {
        return why == Failure::unreachable ? "502 " + std::string(reason) : std::string();
    }
};

struct SwitchHarness {
    Switching rules;
    RelayLimits limits;
    RelaySlot slot{rules, limits};
    Lines ev(RelayEvent::Kind kind, Side side = Side::client, std::string_view bytes = {}) {
        RelayEvent e;
        e.kind = kind;
        e.side = side;
        e.bytes = bytes;
        e.room = 1 << 20;
        return answered(slot, slot.step(e), e.room, 0);
    }
    void relaying(std::string_view first = "A") {
        ev(RelayEvent::accepted);
        ev(RelayEvent::data, Side::client, first);
        ev(RelayEvent::connected, Side::server);
    }
};

}  // namespace

TEST(RelayCore, ConnectedMayAnswerTheClientAtOnce) {
    SwitchHarness h;
    h.ev(RelayEvent::accepted);
    EXPECT_EQ(h.ev(RelayEvent::data, Side::client, "T"), Lines({"pause client", "connect T:80"}));
    EXPECT_EQ(h.ev(RelayEvent::connected, Side::server),
              Lines({"send client established", "resume client 1048576"}));
}

TEST(RelayCore, TheRulesMayAnswerTheSourceAndEndTheSlot) {
    SwitchHarness h;
    h.relaying();
    EXPECT_EQ(h.ev(RelayEvent::data, Side::client, "bye"),
              Lines({"trace client bye", "send client bye", "release"}));
}

// A piece of the rules' own and the event's bytes behind it go out in that order, to the same side,
// and the room is measured after both.
TEST(RelayCore, RulesMaySendTheirOwnPieceBeforeTheEventsBytes) {
    SwitchHarness h;
    h.relaying();
    EXPECT_EQ(h.ev(RelayEvent::data, Side::server, "head:body"),
              Lines({"trace server head:body", "send client HEAD|", "send client body", "measure client",
                     "limit server 1048576"}));
}

TEST(RelayCore, HeldClientStaysPausedUntilTheServerSideIsOpenedAnew) {
    SwitchHarness h;
    h.relaying();
    EXPECT_EQ(h.ev(RelayEvent::data, Side::client, "hold"), Lines({"trace client hold", "pause client"}));
    // The server draining does not wake a client the rules hold.
    h.ev(RelayEvent::data, Side::client, "A" + std::string(1 << 20, 'x'));
    EXPECT_EQ(h.ev(RelayEvent::drained, Side::server), Lines());
    h.rules.waiting = "B";
    EXPECT_EQ(h.ev(RelayEvent::data, Side::server, "done"),
              Lines({"trace server done", "send client last", "pause client", "connect B:82"}));
    EXPECT_EQ(h.slot.phase(), RelaySlot::Phase::connecting);
    EXPECT_EQ(h.ev(RelayEvent::connected, Side::server), Lines({"resume client 1048576"}));
    EXPECT_EQ(h.slot.phase(), RelaySlot::Phase::relaying);
}

TEST(RelayCore, ClientMayOpenTheServerSideAnewElsewhere) {
    SwitchHarness h;
    h.relaying();
    EXPECT_EQ(h.ev(RelayEvent::data, Side::client, "Bnext"),
              Lines({"trace client Bnext", "pause client", "connect B:81"}));
    EXPECT_STREQ(h.slot.transition(), "server side opened anew");
    // What the client sends meanwhile waits in its socket.
    EXPECT_EQ(h.ev(RelayEvent::data, Side::client, "Bmore"), Lines({"pause client", "keep"}));
    EXPECT_EQ(h.ev(RelayEvent::connected, Side::server), Lines({"resume client 1048576"}));
    EXPECT_EQ(h.ev(RelayEvent::data, Side::client, "Bmore"),
              Lines({"trace client Bmore", "send server Bmore", "measure server",
                     "limit client 1048576"}));

    // The new server cannot be reached: the client gets the rules' failure.
    SwitchHarness down;
    down.relaying();
    down.ev(RelayEvent::data, Side::client, "Bnext");
    EXPECT_EQ(down.ev(RelayEvent::failed, Side::server, "refused"),
              Lines({"send client 502 refused", "release"}));
}

TEST(RelayCore, EndOfASideLetsTheRulesFlushOrReconnect) {
    SwitchHarness h;
    h.relaying();
    EXPECT_EQ(h.ev(RelayEvent::data, Side::server, "keep:tail"), Lines({"trace server keep:tail"}));
    EXPECT_EQ(h.ev(RelayEvent::ended, Side::server), Lines({"send client tail", "shutdown client"}));
    EXPECT_EQ(h.ev(RelayEvent::ended, Side::client), Lines({"release"}));

    // A server that ends while the rules wait for another one: the server side is opened anew,
    // and the client keeps its connection.
    SwitchHarness again;
    again.relaying();
    again.rules.waiting = "C";
    EXPECT_EQ(again.ev(RelayEvent::ended, Side::server),
              Lines({"pause client", "connect C:83"}));
    EXPECT_FALSE(again.slot.ended(Side::server));
    EXPECT_EQ(again.ev(RelayEvent::connected, Side::server), Lines({"resume client 1048576"}));
    // A client that ended meanwhile has its end passed on to the new server.
    SwitchHarness ended;
    ended.relaying();
    ended.rules.waiting = "C";
    ended.ev(RelayEvent::ended, Side::server);
    ended.ev(RelayEvent::ended, Side::client);
    EXPECT_EQ(ended.ev(RelayEvent::connected, Side::server), Lines({"shutdown server"}));

    // The rules may keep the client when the server ends: only the server side is shut, the
    // client's next bytes may open another; a client that ends too ends the slot.
    SwitchHarness kept;
    kept.relaying();
    kept.rules.keepClient = true;
    EXPECT_EQ(kept.ev(RelayEvent::ended, Side::server), Lines({"shutdown server"}));
    EXPECT_EQ(kept.ev(RelayEvent::data, Side::client, "Dnext"), Lines({"trace client Dnext", "pause client", "connect D:81"}));
    EXPECT_FALSE(kept.slot.ended(Side::server));
    kept.ev(RelayEvent::connected, Side::server);
    kept.rules.waiting.clear();
    EXPECT_EQ(kept.ev(RelayEvent::ended, Side::server), Lines({"shutdown server"}));
    EXPECT_EQ(kept.ev(RelayEvent::ended, Side::client), Lines({"release"}));
}

TEST(RelayCore, ACarriedTunnelRelaysAtOnceUnderTheSameRules) {
    // A slot for a tunnel that another driver carries on: relaying from its first event, with
    // the half-close, backpressure and deadlines of any other slot.
    Harness h;
    h.limits.idle = 5000;
    h.limits.linger = 2000;
    EXPECT_EQ(h.ev(RelayEvent::carried), Lines({"resume client 0", "resume server 0"}));
    EXPECT_EQ(h.slot.phase(), RelaySlot::Phase::relaying);
    EXPECT_STREQ(h.slot.transition(), "a plain tunnel, carried on");
    EXPECT_EQ(h.ev(RelayEvent::carried), Lines());  // once only
    EXPECT_EQ(h.client("bulk", 100), Lines({"trace client bulk", "send server bulk",
                                            "measure server", "pause client", "watch server"}));
    EXPECT_EQ(h.drained(Side::server, 1 << 20), Lines({"resume client 1048576"}));
    EXPECT_EQ(h.ended(Side::server), Lines({"shutdown client"}));
    EXPECT_EQ(h.tick(1999), Lines());
    EXPECT_EQ(h.tick(1), Lines({"release"}));
    EXPECT_STREQ(h.slot.transition(), "one side ended and the other stayed silent");
}
