// Login-line splitting and the per-slot login state machine, fed with exact chunk boundaries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/base64.h"
#include "quessel/loginline.h"

using namespace quessel;
using namespace std::string_literals;

namespace {

struct SplitCase {
    std::string line, user, server;
};

TEST(LoginLineSplit, LineEndMovesToUserPart) {
    const std::vector<SplitCase> cases = {
        {"USER alice|pop.example.com\r\n", "USER alice\r\n", "pop.example.com"},
        {"USER alice|pop.example.com\n\r", "USER alice\n\r", "pop.example.com"},
        {"USER alice|pop.example.com\n", "USER alice\n", "pop.example.com"},
        {"USER alice|pop.example.com\r", "USER alice\r", "pop.example.com"},
        {"USER alice|pop.example.com", "USER alice", "pop.example.com"},
        // Each test works on what the one before left.
        {"USER a|b\r\n\r\n", "USER a\r\n\n\r", "b"},
        {"USER a|b\n\r\r\n", "USER a\r\n\r", "b\n"},
        // Further bars and further lines belong to the server part.
        {"USER a|b|c\r\n", "USER a\r\n", "b|c"},
        {"USER a|b\r\nPASS x\r\n", "USER a\r\n", "b\r\nPASS x"},
        // Command word and case stay as the client sent them.
        {"user Alice|Host\r\n", "user Alice\r\n", "Host"},
        {"USER a|\r\n", "USER a\r\n", ""},
        {"|x", "", "x"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(user(c.line), c.user) << c.line;
        EXPECT_EQ(server(c.line), c.server) << c.line;
    }
}

TEST(LoginLineSplit, TextWithoutBar) {
    EXPECT_EQ(user("USER alice\r\n"), "USER alice\r\n");
    EXPECT_EQ(server("USER alice\r\n"), "");
}

TEST(LoginLineTest, BarAndUserInAnyCase) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"USER a|b\r\n", true},  {"user a|b\r\n", true},    {"uSeR a|b\r\n", true},
        {"xUsErx|\r\n", true},   {"PASS a|user\r\n", true}, {"USER ab\r\n", false},
        {"PASS a|b\r\n", false}, {"US ER a|b\r\n", false},  {"", false},
    };
    for (const auto &[line, login] : cases) EXPECT_EQ(isLoginLine(line), login) << line;
}

TEST(ServerHost, IsTheHostOfTheServerPart) {
    auto hostOf = [](std::string line) {
        LoginRules r{LoginPolicy()};
        return std::string(r.open(line).host);
    };
    EXPECT_EQ(hostOf("USER a|[::1]\r\n"), "::1");
    EXPECT_EQ(hostOf("USER a|pop.example.com\r\n"), "pop.example.com");
    // The port is the admin's, never the client's.
    EXPECT_EQ(hostOf("USER a|pop.example.com:995\r\n"), "");
}

TEST(Replies, AreOneLineNamingTheServer) {
    EXPECT_EQ(unavailableReply("Pop.Example.COM"), "-ERR POP3 server Pop.Example.COM is not available\r\n");
    // What the client wrote can never open a second line.
    EXPECT_EQ(unavailableReply("pop\r\nINJECTED"), "-ERR POP3 server pop??INJECTED is not available\r\n");
    EXPECT_EQ(loginIdleReply(60), "-ERR no login within 60 seconds\r\n");
}

namespace {
LoginPolicy policyOf(int serverPort, ServerTls mode, TlsOffer clientTls = {}) {
    LoginPolicy p;
    p.serverPort = serverPort;
    p.loginSeconds = 60;
    p.serverTls = mode;
    p.clientTls = clientTls;
    return p;
}
}  // namespace

// ---- the session before the server connection ---------------------------------------------

constexpr const char *kCapa = "+OK capability list follows\r\nUSER\r\n.\r\n";
constexpr const char *kUserForm =
    "-ERR log in as USERNAME|SERVER: your user name, \"|\", then your POP3 server\r\n";
constexpr const char *kLoginFirst = "-ERR log in first with USER USERNAME|SERVER\r\n";
constexpr const char *kControl =
    "-ERR a login line may hold no NUL and no CR but the one before its LF\r\n";
constexpr const char *kTooMany = "-ERR too many commands before login\r\n";

struct Transcript {
    const char *name;
    std::vector<std::string> chunks;
    std::string replies;  // everything answered to the client, in order
    std::string host;     // "" when no connection is opened
    std::string userPart;
    std::string held;
    bool closed;
};

TEST(SessionBeforeLogin, Transcripts) {
    const std::vector<Transcript> cases = {
        {"plain login", {"USER alice|127.0.0.1\r\n"}, "", "127.0.0.1", "USER alice\r\n", "", false},
        {"capa first",
         {"CAPA\r\n", "USER alice|pop\r\n"},
         kCapa,
         "pop",
         "USER alice\r\n",
         "",
         false},
        {"capa and login in one chunk, pass held",
         {"capa\r\nUSER alice|pop\r\nPASS s|user\r\n"},
         kCapa,
         "pop",
         "USER alice\r\n",
         "PASS s|user\r\n",
         false},
        {"login line over three chunks",
         {"US", "ER alice|p", "op\r\n"},
         "",
         "pop",
         "USER alice\r\n",
         "",
         false},
        {"LF line ends",
         {"CAPA\nUSER a|pop\nPASS x\n"},
         kCapa,
         "pop",
         "USER a\n",
         "PASS x\n",
         false},
        {"LF CR line ends",
         {"USER a|pop\n\rPASS x\n\r"},
         "",
         "pop",
         "USER a\n\r",
         "PASS x\n\r",
         false},
        // A CR alone ends no line; in a login line it is refused.
        {"bare CR in a login line", {"CAPA\rUSER a|pop\r\n"}, kControl, "", "", "", false},
        {"bare CR after the server", {"USER a|pop\rPASS x\r\n"}, kControl, "", "", "", false},
        {"NUL in a login line", {"USER a\0b|pop\r\n"s}, kControl, "", "", "", false},
        {"CR LF split between chunks",
         {"CAPA\r", "\nNOOP\r\n"},
         kCapa + std::string(kLoginFirst),
         "",
         "",
         "",
         false},
        {"login ends in CR, LF comes next",
         {"USER a|pop\r", "\nPASS x\r\n"},
         "",
         "pop",
         "USER a\r\n",
         "PASS x\r\n",
         false},
        {"user without bar", {"USER alice\r\n"}, kUserForm, "", "", "", false},
        {"two other commands", {"STAT\r\nAUTH\r\n"},
         kLoginFirst + std::string("-ERR no SASL mechanism is offered here\r\n"), "", "", "", false},
        // The third refused command ends the connection, whatever the mix.
        {"third refused command",
         {"STAT\r\n", "USER alice\r\n", "NOOP\r\nUSER a|pop\r\n"},
         kLoginFirst + std::string(kUserForm) + kTooMany,
         "",
         "",
         "",
         true},
        // A server part that names no server is told like any server that cannot be used.
        {"empty server", {"USER a|\r\n", "USER a|pop\r\n"},
         "-ERR POP3 server  is not available\r\n", "", "", "", true},
        {"blank in server", {"USER a|pop host\r\n"}, "-ERR POP3 server pop host is not available\r\n",
         "", "", "", true},
        {"address in disguise", {"USER a|2130706433\r\n"},
         "-ERR POP3 server 2130706433 is not available\r\n", "", "", "", true},
        {"second line with bar is not another login",
         {"USER a|pop\r\nUSER b|other\r\n"},
         "",
         "pop",
         "USER a\r\n",
         "USER b|other\r\n",
         false},
        {"quit", {"QUIT\r\n"}, "+OK\r\n", "", "", "", true},
        {"input after quit is dropped",
         {"QUIT\r\nUSER a|pop\r\n", "CAPA\r\n"},
         "+OK\r\n",
         "",
         "",
         "",
         true},
        {"line too long",
         {std::string(kMaxLineLength + 1, 'A')},
         "-ERR line too long\r\n",
         "",
         "",
         "",
         true},
    };
    for (const auto &c : cases) {
        LoginRules s{LoginPolicy()};
        std::string replies, host;
        bool closed = false;
        int connects = 0;
        for (const auto &chunk : c.chunks) {
            // The relay reads the client no further once the server side is being opened.
            if (connects || closed) break;
            const common::RelayRules::Opening o = s.open(chunk);
            replies += o.reply;
            if (o.connect) {
                ++connects;
                host = o.host;
            }
            closed = closed || o.close;
        }
        EXPECT_EQ(replies, c.replies) << c.name;
        EXPECT_EQ(host, c.host) << c.name;
        EXPECT_EQ(closed, c.closed) << c.name;
        if (!c.host.empty()) {
            EXPECT_EQ(s.phase(), LoginRules::Phase::connecting) << c.name;
            EXPECT_EQ(s.userPart(), c.userPart) << c.name;
            EXPECT_EQ(s.held(), c.held) << c.name;
        }
    }
}

TEST(SessionBeforeLogin, ALineTooLongIsRefusedWholeOrCut) {
    // One rule, however the line arrives: with its end in the same chunk or not.
    const std::string line = "NOOP " + std::string(kMaxLineLength, 'x') + "\r\n";
    for (std::size_t cut : {line.size(), std::size_t(100), line.size() - 1}) {
        LoginRules s{LoginPolicy()};
        common::RelayRules::Opening o = s.open(line.substr(0, cut));
        std::string reply(o.reply);
        if (!o.close) reply += s.open(line.substr(cut)).reply;
        EXPECT_EQ(reply, "-ERR line too long\r\n") << cut;
        EXPECT_EQ(s.phase(), LoginRules::Phase::ended);
    }
}

// ---- the server's greeting ----------------------------------------------------------------

LoginRules connected(const std::string &server = "pop") {
    LoginRules s{LoginPolicy()};
    s.open("USER a|" + server + "\r\n");
    s.connected();
    return s;
}

TEST(ServerGreeting, DroppedByLineNotByChunk) {
    struct Case {
        const char *name;
        std::vector<std::string> chunks;
        std::string forClient;
    };
    const std::vector<Case> cases = {
        {"greeting alone", {"+OK Dovecot ready.\r\n"}, ""},
        {"greeting and the answer to USER together", {"+OK ready\r\n+OK\r\n"}, "+OK\r\n"},
        {"greeting over two chunks", {"+OK re", "ady\r\n+O", "K\r\n"}, "+OK\r\n"},
        {"answers after the greeting pass unchanged",
         {"+OK\r\n", "+OK\r\n", "-ERR x\r\n"},
         "+OK\r\n-ERR x\r\n"},
    };
    for (const auto &c : cases) {
        LoginRules s(policyOf(110, ServerTls::off));
        s.open("USER a|pop\r\n");
        s.connected();
        std::string out;
        bool accepted = false;
        for (const auto &chunk : c.chunks) {
            if (accepted) {  // the relay passes what comes after
                out += chunk;
                continue;
            }
            const common::RelayRules::Greeting g = s.greet(chunk);
            ASSERT_NE(g.kind, common::RelayRules::Greeting::refuse) << c.name;
            if (g.kind == common::RelayRules::Greeting::accept) {
                accepted = true;
                EXPECT_EQ(g.toServer, "USER a\r\n") << c.name;
                out += g.toClient;
            }
        }
        EXPECT_TRUE(accepted) << c.name;
        EXPECT_EQ(out, c.forClient) << c.name;
    }
}

TEST(ServerGreeting, RefusesWhatIsNotAGreeting) {
    LoginRules s = connected("pop.example.com");
    common::RelayRules::Greeting g = s.greet("-ERR too many connections\r\n");
    EXPECT_EQ(g.kind, common::RelayRules::Greeting::refuse);
    // The server's own words never reach the client.
    EXPECT_EQ(g.toClient, "-ERR POP3 server pop.example.com is not available\r\n");
    EXPECT_EQ(s.refusal(), "the server did not greet as a POP3 server");

    LoginRules t = connected();
    EXPECT_EQ(t.greet(std::string(kMaxGreetingLength, 'x')).kind, common::RelayRules::Greeting::wait);
    EXPECT_EQ(t.greet("x").kind, common::RelayRules::Greeting::refuse);
}


// A whole slot in the relay, quessel's rules under the relay core: what the client and the server
// see, in order.
TEST(LoginRules, SlotTranscript) {
    LoginRules rules(policyOf(1110, ServerTls::off));
    common::RelayLimits limits;
    common::RelaySlot slot(rules, limits);
    auto step = [&](common::RelayEvent::Kind kind, common::Side side = common::Side::client,
                    std::string_view bytes = {}) {
        common::RelayEvent e;
        e.kind = kind;
        e.side = side;
        e.bytes = bytes;
        e.room = 1 << 20;
        std::vector<std::string> sent;
        for (const auto &a : slot.step(e)) {
            if (a.kind == common::RelayAction::send)
                sent.push_back((a.side == common::Side::client ? "C: " : "S: ") +
                               std::string(a.bytes));
            if (a.kind == common::RelayAction::connect)
                sent.push_back("connect " + std::string(a.bytes) + ":" + std::to_string(a.n));
            if (a.kind == common::RelayAction::release) sent.push_back("release");
        }
        return sent;
    };
    using V = std::vector<std::string>;
    using K = common::RelayEvent;
    EXPECT_EQ(step(K::accepted), V({"C: +OK\r\n"}));
    EXPECT_EQ(step(K::data, common::Side::client, "CAPA\r\n"),
              V({"C: +OK capability list follows\r\nUSER\r\n.\r\n"}));
    EXPECT_EQ(step(K::data, common::Side::client, "USER alice|pop.example.com\r\nPASS pw\r\n"),
              V({"connect pop.example.com:1110"}));
    // Nothing of the client's goes to the server before its greeting.
    EXPECT_EQ(step(K::connected, common::Side::server), V());
    EXPECT_EQ(step(K::data, common::Side::server, "+ok rea"), V());
    // The greeting, in any case, is dropped.
    EXPECT_EQ(step(K::data, common::Side::server, "dy\r\n+OK\r\n"),
              V({"S: USER alice\r\nPASS pw\r\n", "C: +OK\r\n"}));
    EXPECT_EQ(slot.phase(), common::RelaySlot::Phase::relaying);
    EXPECT_EQ(step(K::data, common::Side::client, "STAT\r\n"), V({"S: STAT\r\n"}));

    LoginRules unreachable(policyOf(110, ServerTls::off));
    common::RelaySlot lost(unreachable, limits);
    common::RelayEvent e;
    e.kind = K::accepted;
    lost.step(e);
    e.kind = K::data;
    e.bytes = "USER bob|mail.example.org\r\n";
    lost.step(e);
    e.kind = K::failed;
    e.side = common::Side::server;
    e.bytes = "connection refused";
    const auto out = lost.step(e);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].bytes, "-ERR POP3 server mail.example.org is not available\r\n");
    EXPECT_EQ(out[1].kind, common::RelayAction::release);
    EXPECT_EQ(unreachable.failure(common::Failure::noLogin, {}), "-ERR no login within 60 seconds\r\n");
    for (common::Failure f : {common::Failure::closedEarly, common::Failure::noGreeting})
        EXPECT_EQ(unreachable.failure(f, "any reason"), out[0].bytes);
}

// ---- TLS ------------------------------------------------------------------------------------

TEST(SessionTls, StlsOfferedUpgradedAndRequired) {
    LoginRules plain{LoginPolicy()};
    EXPECT_EQ(plain.open("CAPA\r\n").reply, kCapa);
    EXPECT_EQ(plain.open("STLS\r\n").reply, "-ERR STLS is not offered here\r\n");

    LoginRules s(policyOf(110, ServerTls::automatic, TlsOffer{true, true}));
    EXPECT_EQ(s.open("CAPA\r\n").reply, "+OK capability list follows\r\nUSER\r\nSTLS\r\n.\r\n");
    // No login in the clear, not even one in the same chunk as a refusal.
    common::RelayRules::Opening early = s.open("USER alice|pop\r\n");
    EXPECT_FALSE(early.connect);
    EXPECT_EQ(early.reply, "-ERR this proxy takes no login in the clear: use STLS first\r\n");
    // What follows STLS in the clear is dropped: only the handshake may come next.
    common::RelayRules::Opening up = s.open("STLS\r\nUSER alice|injected\r\n");
    EXPECT_TRUE(up.upgrade);
    EXPECT_EQ(up.reply, "+OK begin TLS negotiation\r\n");
    EXPECT_FALSE(up.connect);
    s.encrypted(common::Side::client);
    // Under TLS, AUTH PLAIN is offered.
    EXPECT_EQ(s.open("CAPA\r\n").reply, "+OK capability list follows\r\nUSER\r\nSASL PLAIN\r\n.\r\n");
    EXPECT_EQ(s.open("STLS\r\n").reply, "-ERR the connection is under TLS already\r\n");
    common::RelayRules::Opening login = s.open("USER alice|pop\r\n");
    EXPECT_TRUE(login.connect);
    EXPECT_EQ(login.host, "pop");
}

namespace {
// The server side of a slot under LoginRules: the bytes it is sent, in order, as lines.
struct ServerLeg {
    LoginRules rules;
    common::RelayLimits limits;
    common::RelaySlot slot{rules, limits};
    std::vector<std::string> log;

    explicit ServerLeg(ServerTls mode, bool clientTls = false)
        : rules(policyOf(110, mode, {clientTls, false})) {
        step(common::RelayEvent::accepted);
        if (clientTls) step(common::RelayEvent::encrypted);
        step(common::RelayEvent::data, common::Side::client, "USER alice|pop.test\r\nPASS pw\r\n");
        step(common::RelayEvent::connected, common::Side::server);
    }
    void step(common::RelayEvent::Kind kind, common::Side side = common::Side::client,
              std::string_view bytes = {}) {
        common::RelayEvent e;
        e.kind = kind;
        e.side = side;
        e.bytes = bytes;
        e.room = 1 << 20;
        for (const auto &a : slot.step(e)) {
            if (a.kind == common::RelayAction::send)
                log.push_back((a.side == common::Side::client ? "C: " : "S: ") + std::string(a.bytes));
            if (a.kind == common::RelayAction::starttls) log.push_back("starttls");
            if (a.kind == common::RelayAction::connectTls) log.push_back("connect tls");
            if (a.kind == common::RelayAction::release) log.push_back("release");
        }
    }
    void server(std::string_view bytes) { step(common::RelayEvent::data, common::Side::server, bytes); }
};
using Log = std::vector<std::string>;
const std::string kGone = "C: -ERR POP3 server pop.test is not available\r\n";
}  // namespace

TEST(LoginRulesTls, ServerSecuredWithStlsBeforeTheUserPart) {
    ServerLeg s(ServerTls::automatic);
    s.server("+OK hello\r\n");
    s.server("+OK\r\nTOP\r\nST");
    s.server("LS\r\nUSER\r\n.\r\n");
    // The answer to STLS, and what came after it in the clear, never reaches anyone.
    s.server("+OK begin\r\n-ERR injected\r\n");
    EXPECT_EQ(s.log, Log({"C: +OK\r\n", "S: CAPA\r\n", "S: STLS\r\n", "starttls"}));
    s.step(common::RelayEvent::encrypted, common::Side::server);
    EXPECT_EQ(s.log.back(), "S: USER alice\r\nPASS pw\r\n");
    EXPECT_EQ(s.slot.phase(), common::RelaySlot::Phase::relaying);
}

TEST(LoginRulesTls, NoFallBackToTheClearWhereTlsWasAskedFor) {
    // A server that offers no STLS: in the clear only in auto mode, for a client in the clear.
    ServerLeg automatic(ServerTls::automatic);
    automatic.server("+OK\r\n");
    automatic.server("+OK\r\nUSER\r\n.\r\n");
    EXPECT_EQ(automatic.log.back(), "S: USER alice\r\nPASS pw\r\n");

    ServerLeg required(ServerTls::stls);
    required.server("+OK\r\n");
    required.server("-ERR no CAPA here\r\n");
    EXPECT_EQ(required.log, Log({"C: +OK\r\n", "S: CAPA\r\n", kGone, "release"}));

    ServerLeg tlsClient(ServerTls::automatic, true);
    tlsClient.server("+OK\r\n");
    tlsClient.server("+OK\r\nUSER\r\n.\r\n");
    EXPECT_EQ(tlsClient.log.back(), "release");
    EXPECT_EQ(tlsClient.log[tlsClient.log.size() - 2], kGone);

    // STLS offered, then refused: never the clear.
    ServerLeg refused(ServerTls::automatic);
    refused.server("+OK\r\n");
    refused.server("+OK\r\nSTLS\r\n.\r\n");
    refused.server("-ERR not now\r\n");
    EXPECT_EQ(refused.log.back(), "release");

    // Off: in the clear at once, no questions.
    ServerLeg off(ServerTls::off);
    off.server("+OK\r\n");
    EXPECT_EQ(off.log, Log({"C: +OK\r\n", "S: USER alice\r\nPASS pw\r\n"}));
}

}  // namespace

// ---- the routing map and AUTH PLAIN ----------------------------------------------------------

namespace {
// A slot under LoginRules with a map, its server, as lines each side gets.
struct Mapped {
    LoginRules rules;
    common::RelayLimits limits;
    common::RelaySlot slot{rules, limits};
    std::vector<std::string> log;
    std::vector<RefusedLogin> refused;
    static LoginPolicy policy(bool local, bool userServer) {
        LoginPolicy p;
        p.serverTls = ServerTls::off;
        p.map = std::make_shared<PopMap>(*PopMap::parse("alice: pop.example.org\nbob: mail.example.org:995 robert\n"));
        p.userServer = userServer;
        p.clientLocal = local;
        return p;
    }
    explicit Mapped(bool local = true, bool userServer = false) : rules(withLog(policy(local, userServer))) {
        step(common::RelayEvent::accepted);
    }
    LoginPolicy withLog(LoginPolicy p) {
        p.refusedLogin = [this](const RefusedLogin &r) { refused.push_back(r); };
        return p;
    }
    void step(common::RelayEvent::Kind kind, common::Side side = common::Side::client, std::string_view bytes = {}) {
        common::RelayEvent e;
        e.kind = kind;
        e.side = side;
        e.bytes = bytes;
        e.room = 1 << 20;
        for (const auto &a : slot.step(e)) {
            if (a.kind == common::RelayAction::send)
                log.push_back((a.side == common::Side::client ? "C: " : "S: ") + std::string(a.bytes));
            if (a.kind == common::RelayAction::connect)
                log.push_back("connect " + std::string(a.bytes) + ":" + std::to_string(a.n));
            if (a.kind == common::RelayAction::release) log.push_back("release");
        }
    }
    void client(std::string_view b) { step(common::RelayEvent::data, common::Side::client, b); }
    void server(std::string_view b) { step(common::RelayEvent::data, common::Side::server, b); }
};
using Lines = std::vector<std::string>;
std::string plain(std::string_view authzid, std::string_view authcid, std::string_view password) {
    std::string p(authzid);
    p.append(1, '\0').append(authcid).append(1, '\0').append(password);
    return common::base64Encode(p);
}
}  // namespace

TEST(LoginRulesMap, APlainLoginNameGoesWhereTheMapSaysAsItsEntryNamesIt) {
    Mapped m;
    m.client("USER bob\r\nPASS pw\r\n");
    EXPECT_EQ(m.log, Lines({"C: +OK\r\n", "connect mail.example.org:995"}));
    m.step(common::RelayEvent::connected, common::Side::server);
    m.server("+OK ready\r\n");
    EXPECT_EQ(m.log.back(), "S: USER robert\r\nPASS pw\r\n");
    EXPECT_EQ(m.rules.userName(), "bob");
    // A name the map does not know: one line for all of them, and no server asked.
    Mapped unknown;
    unknown.client("USER mallory\r\n");
    EXPECT_EQ(unknown.log.back(), "C: -ERR this login is not known here\r\n");
    ASSERT_EQ(unknown.refused.size(), 1u);
    EXPECT_EQ(unknown.refused[0].reason, "the name is not in the map");
    // With a map, USERNAME|SERVER is a name like another, unless the admin takes it too.
    Mapped bar;
    bar.client("USER alice|other.example.org\r\n");
    EXPECT_EQ(bar.log.back(), "C: -ERR this login is not known here\r\n");
    Mapped both(true, true);
    both.client("USER alice|other.example.org\r\n");
    EXPECT_EQ(both.log.back(), "connect other.example.org:110");
}

TEST(LoginRulesMap, AuthPlainIsRoutedAndTheServerLoggedInWithWhatItTakes) {
    // Offered only after TLS or to a client on this machine.
    Mapped outside(false);
    outside.client("CAPA\r\n");
    EXPECT_EQ(outside.log.back().find("SASL"), std::string::npos);
    outside.client("AUTH PLAIN " + plain("", "alice", "pw") + "\r\n");
    EXPECT_EQ(outside.log.back(), "C: -ERR no SASL mechanism is offered here\r\n");

    // A server that takes PLAIN gets it, with the names the map gives.
    Mapped m;
    m.client("CAPA\r\n");
    EXPECT_NE(m.log.back().find("SASL PLAIN\r\n"), std::string::npos);
    m.client("AUTH PLAIN\r\n");
    EXPECT_EQ(m.log.back(), "C: + \r\n");
    m.client(plain("", "bob", "s3cret") + "\r\n");
    EXPECT_EQ(m.log.back(), "connect mail.example.org:995");
    m.step(common::RelayEvent::connected, common::Side::server);
    m.server("+OK ready\r\n");
    EXPECT_EQ(m.log.back(), "S: CAPA\r\n");
    m.server("+OK\r\nSASL PLAIN LOGIN\r\n.\r\n");
    EXPECT_EQ(m.log.back(), "S: AUTH PLAIN " + plain("", "robert", "s3cret") + "\r\n");
    m.server("+OK logged in\r\n");
    EXPECT_EQ(m.log.back(), "C: +OK logged in\r\n");

    // One that does not: USER and PASS, and the client hears one answer to its AUTH.
    Mapped u;
    u.client("AUTH PLAIN " + plain("", "alice", "pw") + "\r\n");
    u.step(common::RelayEvent::connected, common::Side::server);
    u.server("+OK\r\n");
    u.server("+OK\r\nUSER\r\n.\r\n");
    EXPECT_EQ(u.log.back(), "S: USER alice\r\nPASS pw\r\n");
    u.server("+OK user\r\n+OK in");
    EXPECT_EQ(u.log.back(), "C: +OK in");
    u.server("\r\n+OK 1 2\r\n");
    EXPECT_EQ(u.log.back(), "C: \r\n+OK 1 2\r\n");
    // And when the server refuses the name, the client hears that, once.
    Mapped r;
    r.client("AUTH PLAIN " + plain("", "alice", "pw") + "\r\n");
    r.step(common::RelayEvent::connected, common::Side::server);
    r.server("+OK\r\n");
    r.server("-ERR no CAPA\r\n");
    r.server("-ERR unknown user\r\n-ERR no user\r\n");
    EXPECT_EQ(r.log.back(), "C: -ERR unknown user\r\n");

    // Cancelled, and what is no PLAIN response.
    Mapped c;
    c.client("AUTH PLAIN\r\n*\r\nAUTH PLAIN bm8=\r\n");
    EXPECT_EQ(c.log.back(), "C: + \r\n-ERR AUTH cancelled\r\n-ERR that is no AUTH PLAIN response\r\n");
}
