// Which tunnels halvex reads, and a read tunnel as a transcript: the server's TLS first, then the
// client's with halvex's certificate, then the requests inside through the usual rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/tls.h"
#include "halvex/https.h"
#include "halvex/inspect.h"

using namespace halvex;

namespace {

using V = std::vector<std::string>;
using K = common::RelayEvent;
constexpr auto kClient = common::Side::client;
constexpr auto kServer = common::Side::server;
constexpr common::Millis kHour = 3600 * 1000;

}  // namespace

TEST(HttpsChoice, OnlyTheHttpsPortsOfHostsNotExceptedNorLearned) {
    HttpsSettings s;
    LearnedHosts learned;
    EXPECT_EQ(httpsChoice("a.test", 443, s, learned, 0), HttpsChoice::off);
    s.on = true;
    s.except = {"bank.test", "pinned.test:443"};
    EXPECT_EQ(httpsChoice("a.test", 443, s, learned, 0), HttpsChoice::inspect);
    EXPECT_EQ(httpsChoice("a.test", 8443, s, learned, 0), HttpsChoice::otherPort);
    // A domain excepts its hosts, in any case and spelling; a host with a port only that port.
    EXPECT_EQ(httpsChoice("www.Bank.test.", 443, s, learned, 0), HttpsChoice::excepted);
    EXPECT_EQ(httpsChoice("notbank.test", 443, s, learned, 0), HttpsChoice::inspect);
    EXPECT_EQ(httpsChoice("pinned.test", 443, s, learned, 0), HttpsChoice::excepted);
    s.ports = {443, 8443};
    EXPECT_EQ(httpsChoice("pinned.test", 8443, s, learned, 0), HttpsChoice::inspect);
    // A learned host passes for a day, then is read again.
    EXPECT_TRUE(learned.learn("app.test", 1000));
    EXPECT_FALSE(learned.learn("app.test", 2000));
    EXPECT_EQ(httpsChoice("APP.test", 443, s, learned, 1000 + 23 * kHour), HttpsChoice::learned);
    EXPECT_EQ(httpsChoice("app.test", 443, s, learned, 1000 + 24 * kHour), HttpsChoice::inspect);
    EXPECT_TRUE(learned.list(1000 + 24 * kHour).empty());
}

TEST(HttpsChoice, LearnedHostsAreBounded) {
    LearnedHosts learned;
    for (std::size_t i = 0; i <= LearnedHosts::kMost; ++i)
        learned.learn("h" + std::to_string(i) + ".test", common::Millis(i));
    const auto hosts = learned.list(0);
    EXPECT_EQ(hosts.size(), LearnedHosts::kMost);
    EXPECT_FALSE(learned.has("h0.test", 0));  // the one that ends first made room
    EXPECT_TRUE(learned.has("h1.test", 0));
}

TEST(HttpsChoice, Ports) {
    std::vector<int> ports;
    std::string why;
    EXPECT_TRUE(parsePorts("", ports, why));
    EXPECT_EQ(ports, (std::vector<int>{443}));
    EXPECT_TRUE(parsePorts("443, 8443 8443,9443", ports, why));
    EXPECT_EQ(ports, (std::vector<int>{443, 8443, 9443}));
    EXPECT_FALSE(parsePorts("443,https", ports, why));
    EXPECT_EQ(why, "not a port number: https");
    EXPECT_FALSE(parsePorts("0", ports, why));
    EXPECT_FALSE(parsePorts("65536", ports, why));
    EXPECT_EQ(ports, (std::vector<int>{443, 8443, 9443}));  // unchanged by a failure
}

namespace {

// The actions as short lines: "C: ..." and "S: ..." sent, "connect h:p", "connectTls h:p",
// "tls client", "tls server NAME", "release".
V lines(const common::RelayActions &actions) {
    V out;
    const common::RelayAction *last = nullptr;
    for (const auto &a : actions) {
        using A = common::RelayAction;
        if (a.kind == A::send) {
            if (last && last->kind == a.kind && last->side == a.side)
                out.back() += a.bytes;
            else
                out.push_back((a.side == kClient ? "C: " : "S: ") + std::string(a.bytes));
        }
        last = &a;
        if (a.kind == A::connect || a.kind == A::connectTls)
            out.push_back(std::string(a.kind == A::connect ? "connect " : "connectTls ") +
                          std::string(a.bytes) + ":" + std::to_string(a.n));
        if (a.kind == A::starttls)
            out.push_back(a.side == kClient
                              ? "tls client" + (a.bytes.empty() ? std::string()
                                                                : " after " + std::string(a.bytes))
                              : "tls server " + std::string(a.bytes));
        if (a.kind == A::release) out.push_back("release");
    }
    return out;
}

const std::string kEstablishedText(kEstablished);

struct Tunnel {
    ProxySettings settings;
    HttpsInspector https;
    V minted;   // "name end" for each certificate asked for
    V refusals;  // "host why learned"
    V told;
    common::Millis clock = 1000;
    Inspection rules{settings, 3};
    common::RelayLimits limits;
    common::RelaySlot slot{rules, limits};

    explicit Tunnel(bool direct = true) {
        if (!direct) {
            settings.upstreamHost = "proxy.test";
            settings.upstreamPort = 3128;
        }
        https.settings.on = true;
        https.mint = [this](const std::string &name, std::int64_t end) {
            minted.push_back(name + " " + std::to_string(end));
            return std::shared_ptr<common::TlsServerContext>();
        };
        https.refused = [this](const std::string &host, const std::string &why, bool learned) {
            refusals.push_back(host + " " + why + (learned ? " learned" : ""));
        };
        settings.https = &https;
        settings.logrequest = [this](int, const RequestRecord &r) {
            std::string line = r.method + " " + r.target + " " + r.outcome + " " +
                               std::to_string(r.status);
            if (!r.reason.empty()) line += " (" + r.reason + ")";
            told.push_back(line);
        };
        settings.clock = [this] { return clock; };
        ev(K::accepted);
    }
    V ev(K::Kind kind, common::Side side = kClient, std::string_view bytes = {}) {
        common::RelayEvent e;
        e.kind = kind;
        e.side = side;
        e.bytes = bytes;
        e.room = 1 << 20;
        e.now = clock;
        return lines(slot.step(e));
    }
    V client(std::string_view b) { return ev(K::data, kClient, b); }
    V server(std::string_view b) { return ev(K::data, kServer, b); }
    // The CONNECT, the server's TLS connected, the client's handshake done asking for `name`.
    void open(const std::string &name = "a.test") {
        EXPECT_EQ(client("CONNECT a.test:443 HTTP/1.1\r\nHost: a.test:443\r\n\r\n"),
                  (V{"connectTls a.test:443"}));
        EXPECT_EQ(ev(K::connected, kServer), (V{"C: " + kEstablishedText, "tls client"}));
        rules.clientIdentity(1234567);
        EXPECT_EQ(ev(K::encrypted, kClient, name), V{});
    }
};

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

}  // namespace

TEST(InspectedTunnel, RequestsInsideGoThroughTheRulesAndAreLoggedAsHttps) {
    Tunnel t;
    t.settings.cookie = true;
    t.settings.cookiemarker = "gone";
    t.open();
    // The certificate is for the CONNECT's host, bounded by the server's own.
    EXPECT_EQ(t.minted, (V{"a.test 1234567"}));
    EXPECT_EQ(t.told, (V{"CONNECT a.test:443 passed 200 (inspected)"}));
    EXPECT_TRUE(t.rules.inspecting());
    EXPECT_FALSE(t.rules.plainTunnel());
    // Two requests at once (pipelined), each filtered and sent in origin form.
    EXPECT_EQ(t.client("GET /x?q=1 HTTP/1.1\r\nHost: A.test\r\nCookie: id=1\r\n\r\n"
                       "HEAD / HTTP/1.1\r\nHost: a.test:443\r\n\r\n"),
              (V{"S: GET /x?q=1 HTTP/1.1\r\nHost: a.test\r\nCookie: gone\r\n\r\n"
                 "HEAD / HTTP/1.1\r\nHost: a.test\r\n\r\n"}));
    EXPECT_EQ(t.server(kOk + "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n"),
              (V{"C: " + kOk + "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n"}));
    EXPECT_EQ(t.told, (V{"CONNECT a.test:443 passed 200 (inspected)",
                         "GET https://a.test/x?q=1 passed 200", "HEAD https://a.test/ passed 200"}));
    // The server closes: so does the client's connection, no other server is opened.
    EXPECT_EQ(t.ev(K::ended, kServer), V{});
    EXPECT_TRUE(t.slot.ended(kServer));
}

TEST(InspectedTunnel, AHelloSentBehindTheConnectStartsTheClientsTls) {
    for (const bool direct : {true, false}) {
        SCOPED_TRACE(direct ? "direct" : "upstream");
        Tunnel t(direct);
        t.client("CONNECT a.test:443 HTTP/1.1\r\n\r\n\x16\x03\x01hel");
        if (direct) {
            EXPECT_EQ(t.ev(K::connected, kServer),
                      (V{"C: " + kEstablishedText, "tls client after \x16\x03\x01hel"}));
            continue;
        }
        t.ev(K::connected, kServer);
        t.server("HTTP/1.1 200 OK\r\n\r\n");
        EXPECT_EQ(t.ev(K::encrypted, kServer),
                  (V{"C: " + kEstablishedText, "tls client after \x16\x03\x01hel"}));
    }
}

TEST(InspectedTunnel, WhichConnectsAreRead) {
    struct Case {
        const char *what;
        std::string connect;
        std::vector<std::string> except;
        bool on;
        const char *first;
    };
    const std::vector<Case> cases = {
        {"inspected", "CONNECT a.test:443 HTTP/1.1\r\n\r\n", {}, true, "connectTls a.test:443"},
        {"off", "CONNECT a.test:443 HTTP/1.1\r\n\r\n", {}, false, "connect a.test:443"},
        {"another port", "CONNECT a.test:22 HTTP/1.1\r\n\r\n", {}, true, "connect a.test:22"},
        {"excepted", "CONNECT www.bank.test:443 HTTP/1.1\r\n\r\n", {"bank.test"}, true,
         "connect www.bank.test:443"},
        // A tunnel after a plain request on the same connection passes unread.
        {"not the first server",
         "GET http://a.test/ HTTP/1.1\r\nHost: a.test\r\n\r\nCONNECT a.test:443 HTTP/1.1\r\n\r\n",
         {},
         true,
         "connect a.test:80"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Tunnel t;
        t.https.settings.on = c.on;
        t.https.settings.except = c.except;
        const V out = t.client(c.connect);
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out.front(), c.first);
    }
    // A host whose client refused the certificate passes unread, and the log says why.
    Tunnel t;
    t.https.learned.learn("a.test", t.clock);
    EXPECT_EQ(t.client("CONNECT a.test:443 HTTP/1.1\r\n\r\n"), (V{"connect a.test:443"}));
    EXPECT_EQ(t.ev(K::connected, kServer), (V{"C: " + kEstablishedText}));
    EXPECT_TRUE(t.rules.plainTunnel());
}

TEST(InspectedTunnel, ANameInsideOtherThanTheConnectsIsRefused) {
    for (const char *name : {"blocked.test", "a.test.evil"}) {
        SCOPED_TRACE(name);
        Tunnel t;
        t.client("CONNECT a.test:443 HTTP/1.1\r\n\r\n");
        t.ev(K::connected, kServer);
        const V out = t.ev(K::encrypted, kClient, name);
        ASSERT_EQ(out.size(), 2u);
        EXPECT_EQ(out[0].rfind("C: HTTP/1.1 403 Forbidden\r\n", 0), 0u) << out[0];
        EXPECT_NE(out[0].find(name), std::string::npos);
        EXPECT_EQ(out[1], "release");
        ASSERT_EQ(t.told.size(), 1u);
        EXPECT_EQ(t.told[0].rfind("CONNECT a.test:443 blocked 403", 0), 0u) << t.told[0];
    }
    // The same name however written, and no name at all, are the CONNECT's.
    for (const char *name : {"A.TEST.", ""}) {
        Tunnel t;
        t.open(name);
        EXPECT_EQ(t.told, (V{"CONNECT a.test:443 passed 200 (inspected)"}));
    }
}

TEST(InspectedTunnel, RequestsForAnotherServerOrNoPathAreRefused) {
    struct Case {
        const char *request;
        const char *status;
    };
    for (const Case &c : std::vector<Case>{
             {"GET / HTTP/1.1\r\nHost: b.test\r\n\r\n", "421 Misdirected Request"},
             {"GET / HTTP/1.1\r\nHost: a.test:8443\r\n\r\n", "421 Misdirected Request"},
             {"GET https://b.test/ HTTP/1.1\r\nHost: a.test\r\n\r\n", "421 Misdirected Request"},
             {"GET / HTTP/1.1\r\n\r\n", "400 Bad Request"},
             {"GET http://a.test/ HTTP/1.1\r\nHost: a.test\r\n\r\n", "400 Bad Request"},
             {"CONNECT b.test:443 HTTP/1.1\r\nHost: b.test\r\n\r\n", "400 Bad Request"},
         }) {
        SCOPED_TRACE(c.request);
        Tunnel t;
        t.open();
        const V out = t.client(c.request);
        ASSERT_EQ(out.size(), 2u);
        EXPECT_EQ(out[0].rfind("C: HTTP/1.1 " + std::string(c.status), 0), 0u) << out[0];
        EXPECT_EQ(out[1], "release");
    }
    // An absolute https target for the tunnel's own server is its path.
    Tunnel t;
    t.open();
    EXPECT_EQ(t.client("GET https://a.test/p HTTP/1.1\r\nHost: a.test\r\n\r\n"),
              (V{"S: GET /p HTTP/1.1\r\nHost: a.test\r\n\r\n"}));
}

TEST(InspectedTunnel, BlockedAndCannedInsideEndTheConnection) {
    Tunnel t;
    t.settings.blockme = true;
    t.settings.sendempty = true;
    t.settings.block = {"ads.test"};
    t.open();
    EXPECT_EQ(t.client("GET /page HTTP/1.1\r\nHost: a.test\r\n\r\n"),
              (V{"S: GET /page HTTP/1.1\r\nHost: a.test\r\n\r\n"}));
    const std::string page = "<p>see ads.test</p>";
    const V out = t.server("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                           std::to_string(page.size()) + "\r\n\r\n" + page);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], "C: " + std::string(cannedtext(Canned::page)));
    EXPECT_EQ(out[1], "release");
    // A request that mentions a block entry goes nowhere.
    Tunnel u;
    u.settings.blockme = true;
    u.settings.block = {"ads.test"};
    u.open();
    EXPECT_EQ(u.client("GET /?from=ads.test HTTP/1.1\r\nHost: a.test\r\n\r\n"), (V{"release"}));
    EXPECT_EQ(u.told.back(), "GET https://a.test/?from=ads.test blocked 0 (on the block list)");
}

TEST(InspectedTunnel, AServerWhoseCertificateFailsIsNamedInsideTheClientsTls) {
    Tunnel t;
    EXPECT_EQ(t.client("CONNECT a.test:443 HTTP/1.1\r\n\r\n"), (V{"connectTls a.test:443"}));
    EXPECT_EQ(t.ev(K::failed, kServer, "certificate for a.test has expired"),
              (V{"C: " + kEstablishedText, "tls client"}));
    // The certificate shown says nothing of the server's (no bound from it).
    t.rules.clientIdentity(0);
    EXPECT_EQ(t.minted, (V{"a.test 0"}));
    t.ev(K::encrypted, kClient, "a.test");
    const V out = t.client("GET / HTTP/1.1\r\nHost: a.test\r\n\r\n");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].rfind("C: HTTP/1.1 502 Bad Gateway\r\n", 0), 0u);
    EXPECT_NE(out[0].find("certificate for a.test has expired"), std::string::npos);
    EXPECT_EQ(out[1], "release");
    const std::string why =
        " (halvex could not connect securely to a.test: certificate for a.test has expired.)";
    EXPECT_EQ(t.told, (V{"CONNECT a.test:443 upstream failed 200" + why,
                         "GET https://a.test/ upstream failed 502" + why}));
    // A server that never sets up its TLS: the same, once the minute is up.
    Tunnel slow;
    slow.limits.greeting = 60000;
    slow.client("CONNECT a.test:443 HTTP/1.1\r\n\r\n");
    slow.clock += 59999;
    EXPECT_EQ(slow.ev(K::tick), V{});
    slow.clock += 1;
    EXPECT_EQ(slow.ev(K::tick), (V{"C: " + kEstablishedText, "tls client"}));
    slow.ev(K::encrypted, kClient, "a.test");
    EXPECT_NE(slow.client("GET / HTTP/1.1\r\nHost: a.test\r\n\r\n")[0].find("did not set up TLS in time"),
              std::string::npos);
    // A server the policy refuses is halvex's refusal, in the clear as for any tunnel.
    Tunnel u;
    u.client("CONNECT a.test:443 HTTP/1.1\r\n\r\n");
    const V refused = u.ev(K::failed, kServer, "address not allowed");
    ASSERT_EQ(refused.size(), 2u);
    EXPECT_EQ(refused[0].rfind("C: HTTP/1.1 502", 0), 0u);
}

TEST(InspectedTunnel, AClientThatRefusesTheCertificateIsLearnedOnce) {
    const std::string why = std::string(common::kCertificateRefused) + " (tlsv1 alert unknown ca)";
    Tunnel t;
    t.client("CONNECT a.test:443 HTTP/1.1\r\n\r\n");
    t.ev(K::connected, kServer);
    EXPECT_EQ(t.ev(K::failed, kClient, why), (V{"release"}));
    EXPECT_EQ(t.refusals, (V{"a.test " + why + " learned"}));
    EXPECT_EQ(t.told, (V{"CONNECT a.test:443 refused 200 (" + why +
                         "; a.test passes uninspected for a day)"}));
    EXPECT_EQ(t.https.choose("a.test", 443, t.clock), HttpsChoice::learned);
    // Not learning: told once a day all the same, and read again next time.
    HttpsInspector h;
    h.settings.on = true;
    h.settings.learn = false;
    V refusals;
    h.refused = [&](const std::string &host, const std::string &, bool) { refusals.push_back(host); };
    h.mint = [](const std::string &, std::int64_t) { return nullptr; };
    EXPECT_FALSE(h.clientRefused("b.test", why, 0));
    EXPECT_FALSE(h.clientRefused("b.test", why, 1));
    EXPECT_EQ(refusals, V{"b.test"});
    EXPECT_EQ(h.choose("b.test", 443, 1), HttpsChoice::inspect);
    // A client that leaves during its handshake is logged so.
    Tunnel gone;
    gone.client("CONNECT a.test:443 HTTP/1.1\r\n\r\n");
    gone.ev(K::connected, kServer);
    gone.ev(K::ended, kClient);
    gone.rules.finish();
    EXPECT_EQ(gone.told, (V{"CONNECT a.test:443 refused 200 (the connection ended before the "
                            "client's TLS was set up)"}));
    // Another failure (a reset) is logged, nothing learned.
    Tunnel u;
    u.client("CONNECT a.test:443 HTTP/1.1\r\n\r\n");
    u.ev(K::connected, kServer);
    u.ev(K::failed, kClient, "TLS with the client failed: unexpected eof while reading");
    EXPECT_TRUE(u.refusals.empty());
    EXPECT_EQ(u.https.choose("a.test", 443, u.clock), HttpsChoice::inspect);
}

TEST(InspectedTunnel, AnotherProtocolInsidePassesAsItIs) {
    Tunnel t;
    t.open();
    const std::string bytes("\x00\x01binary\xff", 9);
    EXPECT_EQ(t.client(bytes), (V{"S: " + bytes}));
    EXPECT_EQ(t.server("whatever"), (V{"C: whatever"}));
    t.rules.finish();
    ASSERT_EQ(t.told.size(), 2u);
    EXPECT_EQ(t.told[1], "- - passed 0 (other protocol)");
}

TEST(InspectedTunnel, ThroughTheUpstreamProxy) {
    Tunnel t(false);
    EXPECT_EQ(t.client("CONNECT a.test:443 HTTP/1.1\r\nHost: a.test:443\r\n\r\n"),
              (V{"connect proxy.test:3128"}));
    EXPECT_EQ(t.ev(K::connected, kServer),
              (V{"S: CONNECT a.test:443 HTTP/1.1\r\nHost: a.test:443\r\n\r\n"}));
    // Its answer, however cut, then TLS with the server inside its tunnel.
    EXPECT_EQ(t.server("HTTP/1.1 200 Conn"), V{});
    EXPECT_EQ(t.server("ection established\r\n\r\n"), (V{"tls server a.test"}));
    EXPECT_EQ(t.ev(K::encrypted, kServer), (V{"C: " + kEstablishedText, "tls client"}));
    t.ev(K::encrypted, kClient, "a.test");
    EXPECT_EQ(t.client("GET / HTTP/1.1\r\nHost: a.test\r\n\r\n"),
              (V{"S: GET / HTTP/1.1\r\nHost: a.test\r\n\r\n"}));
    // An upstream proxy that refuses the tunnel: the client hears it, in the clear.
    Tunnel u(false);
    u.client("CONNECT a.test:443 HTTP/1.1\r\n\r\n");
    u.ev(K::connected, kServer);
    const V out = u.server("HTTP/1.1 403 Filtered\r\nContent-Length: 0\r\n\r\n");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].rfind("C: HTTP/1.1 502 Bad Gateway\r\n", 0), 0u);
    EXPECT_NE(out[0].find("HTTP/1.1 403 Filtered"), std::string::npos);
    EXPECT_EQ(out[1], "release");
}

#include "halvex/options.h"

TEST(HttpsOptions, FromTheCommandLineAndTheStoredValues) {
    const auto none = parseOptions({});
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->inspectHttps);
    EXPECT_TRUE(none->inspectLearn);
    EXPECT_EQ(none->inspectPorts, (std::vector<int>{443}));
    const auto o = parseOptions({"--inspect-https", "--ca-cert", "ca.pem", "--ca-key", "ca.key",
                                 "--inspect-except", " Bank.test , pinned.test:443,,",
                                 "--inspect-learn", "no", "--inspect-ports", "443,8443"});
    ASSERT_TRUE(o) << o.why();
    EXPECT_TRUE(o->inspectHttps);
    EXPECT_EQ(o->caCert, "ca.pem");
    EXPECT_EQ(o->inspectExcept, (std::vector<std::string>{"Bank.test", "pinned.test:443"}));
    EXPECT_FALSE(o->inspectLearn);
    EXPECT_EQ(o->inspectPorts, (std::vector<int>{443, 8443}));
    const auto stored = parseOptions({}, [](std::string_view name) -> std::string {
        if (name == "inspecthttps") return "on";
        if (name == "cacert") return "/etc/halvex/ca.pem";
        if (name == "cakey") return "/etc/halvex/ca.key";
        if (name == "inspectlearn") return "off";
        return {};
    });
    ASSERT_TRUE(stored) << stored.why();
    EXPECT_TRUE(stored->inspectHttps);
    EXPECT_EQ(stored->caKey, "/etc/halvex/ca.key");
    EXPECT_FALSE(stored->inspectLearn);
    EXPECT_EQ(parseOptions({"--make-ca", "/tmp/ca"})->makeCa, "/tmp/ca");
}

TEST(HttpsOptions, WhatIsWrongIsSaid) {
    struct Case {
        std::vector<std::string> args;
        const char *why;
    };
    for (const Case &c : std::vector<Case>{
             {{"--inspect-https"}, "--inspect-https: HTTPS inspection needs an authority"},
             {{"--ca-cert", "ca.pem"}, "--ca-key: the authority needs both"},
             {{"--inspect-ports", "443,x"}, "--inspect-ports: not a port number: x"},
             {{"--inspect-learn", "maybe"}, "--inspect-learn: yes or no, not maybe"},
             {{"--inspect-except-file", "/nonexistent/except.txt"},
              "--inspect-except-file: cannot read /nonexistent/except.txt"},
         }) {
        const auto o = parseOptions(c.args);
        ASSERT_FALSE(o) << c.why;
        EXPECT_EQ(o.why().rfind(c.why, 0), 0u) << o.why();
    }
}
