#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "halvex/filters.h"
#include "halvex/inspect.h"

using namespace halvex;

TEST(RequestTarget, FirstChunk) {
    struct Case {
        std::string pending;
        std::string want;
    } cases[] = {
        {"GET http://example.com/a?b HTTP/1.1\r\nHost: example.com\r\n\r\n",
         "http://example.com/a?b"},
        {"GET   http://example.com/  HTTP/1.0\r\n\r\n", "http://example.com/"},
        {"GET HTTP://EXAMPLE.COM/ HTTP/1.1\r\n\r\n", "HTTP://EXAMPLE.COM/"},
        {"GET /index.html HTTP/1.1\r\nHost: example.com\r\n\r\n", ""},
        {"CONNECT example.com:443 HTTP/1.1\r\n\r\n", ""},
        {"get http://example.com/ HTTP/1.1\r\n\r\n", ""},
        {"GET http://example.com/ab", ""},  // ends inside the request line
        {"", ""},
        {"\x16\x03\x01 binary", ""},
        // "GET" anywhere opens the inspection, the first "GET " decides the target.
        {"POST http://a.test/ HTTP/1.1\r\n\r\nGET http://b.test/ HTTP/1.1\r\n", "http://b.test/"},
        // No "GET " at all: everything but the first three characters is looked at.
        {"XYZhttp://a.test/ GET", "http://a.test/"},
        // Only spaces are trimmed.
        {"GET\thttp://a.test/ HTTP/1.1\r\n", "\thttp://a.test/"},
    };
    for (const auto &c : cases) EXPECT_EQ(requesttarget(c.pending), c.want) << c.pending;
}

TEST(RequestTarget, LaterChunkMustBeginARequest) {
    struct Case {
        std::string chunk;
        std::string want;
    } cases[] = {
        {"GET http://example.com/2 HTTP/1.1\r\nHost: example.com\r\n\r\n", "http://example.com/2"},
        {"GET /2 HTTP/1.1\r\n\r\n", ""},
        {" GET http://example.com/2 HTTP/1.1\r\n", ""},
        {"\r\nGET http://example.com/2 HTTP/1.1\r\n", ""},
        {"POST http://example.com/ HTTP/1.1\r\n\r\nGET http://example.com/ HTTP/1.1\r\n", ""},
    };
    for (const auto &c : cases) EXPECT_EQ(latertarget(c.chunk), c.want) << c.chunk;
}

TEST(EscapeControls, Cases) {
    const std::string text = std::string("a\r\n\tb\x01\x7f\xe9 ~\\", 11);
    EXPECT_EQ(escapecontrols(text), "a\\r\\n\\tb\\x01\\x7f\xe9 ~\\");
    EXPECT_EQ(escapecontrols(text, {.keephigh = false}), "a\\r\\n\\tb\\x01\\x7f\\xe9 ~\\");
    EXPECT_EQ(escapecontrols(text, {.keeplineends = true}), "a\r\n\\tb\\x01\\x7f\xe9 ~\\");
    EXPECT_EQ(escapecontrols(std::string(1, '\0')), "\\x00");
    // The bytes at the edges of each class.
    EXPECT_EQ(escapecontrols("\x1f\x20\x7e\x80\xff", {.keephigh = false, .keeplineends = true}),
              "\\x1f ~\\x80\\xff");
    EXPECT_EQ(escapecontrols("\x1f\x20\x7e\x80\xff\r"), "\\x1f ~\x80\xff\\r");
}

namespace {

// The actions of one event as short lines: "C: ..." sent to the client, "S: ..." to the server.
std::vector<std::string> sent(const common::RelayActions &actions) {
    std::vector<std::string> out;
    for (const auto &a : actions) {
        if (a.kind == common::RelayAction::send)
            out.push_back((a.side == common::Side::client ? "C: " : "S: ") + std::string(a.bytes));
        if (a.kind == common::RelayAction::connect)
            out.push_back("connect " + std::string(a.bytes) + ":" + std::to_string(a.n));
        if (a.kind == common::RelayAction::release) out.push_back("release");
    }
    return out;
}

struct Slot {
    ProxySettings settings;
    std::vector<std::string> logged;
    Inspection rules{settings, 3};
    common::RelayLimits limits;
    common::RelaySlot slot{rules, limits};

    Slot() {
        settings.upstreamHost = "proxy.test";
        settings.upstreamPort = 3128;
        settings.logurl = [this](int i, std::string_view target) {
            logged.push_back(std::to_string(i) + " " + std::string(target));
        };
    }
    std::vector<std::string> ev(common::RelayEvent::Kind kind, common::Side side = common::Side::client,
                                std::string_view bytes = {}) {
        common::RelayEvent e;
        e.kind = kind;
        e.side = side;
        e.bytes = bytes;
        e.room = 1 << 20;
        return sent(slot.step(e));
    }
};

using V = std::vector<std::string>;
using K = common::RelayEvent;
constexpr auto kClient = common::Side::client;
constexpr auto kServer = common::Side::server;

}  // namespace

TEST(Inspection, FirstRequestIsHeldUntilTheUpstreamIsThereThenLoggedAndFiltered) {
    Slot s;
    s.ev(K::accepted);
    const std::string request = "GET http://a.test/ HTTP/1.1\r\nAccept: */*\r\n\r\n";
    EXPECT_EQ(s.ev(K::data, kClient, request), V({"connect proxy.test:3128"}));
    EXPECT_TRUE(s.logged.empty());
    EXPECT_EQ(s.ev(K::connected, kServer),
              V({"S: GET http://a.test/ HTTP/1.1\r\nAccept: bla/bla\r\n\r\n"}));
    EXPECT_EQ(s.logged, V({"3 http://a.test/"}));
    // Anything else passes unchanged.
    EXPECT_EQ(s.ev(K::data, kServer, "HTTP/1.1 200 OK\r\n\r\n"), V({"C: HTTP/1.1 200 OK\r\n\r\n"}));
    EXPECT_EQ(s.ev(K::data, kClient, "\x16\x03\x01"), V({"S: \x16\x03\x01"}));
}

TEST(Inspection, BlockedRequestsNeverReachTheUpstream) {
    Slot first;
    first.settings.blockme = true;
    first.settings.block = {"blocked.test"};
    first.ev(K::accepted);
    first.ev(K::data, kClient, "GET http://BLOCKED.test/ HTTP/1.1\r\n\r\n");
    EXPECT_EQ(first.ev(K::connected, kServer), V({"release"}));
    EXPECT_EQ(first.logged, V({"3 http://BLOCKED.test/"}));

    // A later request on a kept connection is judged the same way.
    Slot later;
    later.settings.blockme = true;
    later.settings.block = {"blocked.test"};
    later.ev(K::accepted);
    later.ev(K::data, kClient, "GET http://ok.test/ HTTP/1.1\r\n\r\n");
    later.ev(K::connected, kServer);
    EXPECT_EQ(later.ev(K::data, kClient, "GET http://blocked.test/x HTTP/1.1\r\n\r\n"), V({"release"}));
    EXPECT_EQ(later.logged, V({"3 http://ok.test/", "3 http://blocked.test/x"}));
}

TEST(Inspection, CannedResponseEndsTheSlot) {
    Slot s;
    s.settings.rpictures = true;
    s.ev(K::accepted);
    s.ev(K::data, kClient, "GET http://a.test/p.gif HTTP/1.1\r\n\r\n");
    s.ev(K::connected, kServer);
    const V out = s.ev(K::data, kServer, "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\n\r\nGIF89a");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], "C: " + std::string(cannedtext(Canned::picture)));
    EXPECT_EQ(out[1], "release");
}
