// Host names, addresses and ports as users and clients write them.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/hostport.h"

using namespace common;

TEST(ParseHost, AcceptsNamesAndAddresses) {
    const std::vector<std::pair<std::string, std::string>> good = {
        {"127.0.0.1", "127.0.0.1"},
        {"pop.example.com", "pop.example.com"},
        {"mail-1.in_side.org", "mail-1.in_side.org"},
        {"localhost", "localhost"},
        {"::1", "::1"},
        {"[::1]", "::1"},
        {"[2001:db8::1]", "2001:db8::1"},
        {"pop.example.com.", "pop.example.com."},
    };
    for (const auto &[part, host] : good) {
        auto h = parseHost(part);
        ASSERT_TRUE(h.has_value()) << part;
        EXPECT_EQ(*h, host);
    }
}

TEST(ParseHost, RefusesWhatNoHostNameHolds) {
    const std::vector<std::string> bad = {
        "",
        "pop example",
        "pop.example.com ",
        " pop",
        "pop\t",
        "po\x01p",
        "pop\x7f",
        "b|c",
        "host:110",
        "[::1",
        "[]",
        ".pop",
        "-pop",
        "a..b",
        "h\xc3\xa9",
        "2130706433",  // an address in disguise
        "127.1",
        "1.2.3.4.5",
        "b\r\nPASS x",
        std::string(254, 'a'),
        std::string(64, 'a') + ".example",  // a label longer than DNS allows
    };
    for (const auto &part : bad) EXPECT_FALSE(parseHost(part).has_value()) << part;
    const std::string label(63, 'a');
    EXPECT_TRUE(parseHost(label + "." + label + "." + label + "." + std::string(61, 'b')));
}

TEST(ParseHost, AddressLiterals) {
    for (const char *good : {"0.0.0.0", "255.255.255.255", "10.1.2.3"})
        EXPECT_TRUE(isIPv4Literal(good)) << good;
    for (const char *bad : {"256.1.1.1", "1.2.3", "1.2.3.4.5", "1..2.3", "01234.1.1.1", "a.b.c.d"})
        EXPECT_FALSE(isIPv4Literal(bad)) << bad;
    for (const char *good : {"::", "::1", "fe80::1", "2001:db8:0:0:0:0:0:1", "::ffff:10.0.0.1",
                             "1:2:3:4:5:6:7::"})
        EXPECT_TRUE(isIPv6Literal(good)) << good;
    for (const char *bad : {"1:2", ":::", "1::2::3", "12345::1", "1:2:3:4:5:6:7:8:9",
                            "g::1", "::ffff:10.0.0", "1:2:3:4:5:6:7:8::"})
        EXPECT_FALSE(isIPv6Literal(bad)) << bad;
}

TEST(ParsePort, DigitsInRange) {
    EXPECT_EQ(parsePort("110"), 110);
    EXPECT_EQ(parsePort("65535"), 65535);
    EXPECT_EQ(parsePort("0", 0), 0);
    for (const char *bad : {"", "0", "65536", "99999", "+80", "-1", " 80", "80 ", "8o", "123456"})
        EXPECT_FALSE(parsePort(bad)) << bad;
}

TEST(ParseHostPort, HostWithOptionalPort) {
    struct Case {
        std::string text;
        bool ok;
        std::string host;
        int port;
    } cases[] = {
        {"pop.example.com", true, "pop.example.com", 110},
        {"pop.example.com:1110", true, "pop.example.com", 1110},
        {"[::1]:1110", true, "::1", 1110},
        {"[::1]", true, "::1", 110},
        {"::1", true, "::1", 110},
        {"", false, "", 0},
        {":110", false, "", 0},
        {"host:", false, "", 0},
        {"host:65536", false, "", 0},
        {"two words", false, "", 0},
        {"[::1", false, "", 0},
        {"[::1]x", false, "", 0},
        {"[pop.example.com]:110", false, "", 0},
        {"a/b:110", false, "", 0},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.text);
        const Result<HostPort> r = parseHostPort(k.text, 110);
        ASSERT_EQ(r.ok(), k.ok) << r.why();
        if (!k.ok) {
            EXPECT_FALSE(r.why().empty());
            continue;
        }
        EXPECT_EQ(r->host, k.host);
        EXPECT_EQ(r->port, k.port);
    }
}

TEST(HostPort, WrittenBackAsAnAddressWritesThem) {
    EXPECT_EQ(urlHost("a.test"), "a.test");
    EXPECT_EQ(urlHost("::1"), "[::1]");
    EXPECT_EQ(hostAndPort("2001:db8::1", 443), "[2001:db8::1]:443");
    EXPECT_EQ(hostAndPort("a.test", 8080), "a.test:8080");
    EXPECT_EQ(statusCode("403 Forbidden"), 403);
    EXPECT_EQ(statusCode("200"), 200);
    for (const char *bad : {"20", "2000 x", "x00 y", ""}) EXPECT_EQ(statusCode(bad), -1) << bad;
    EXPECT_TRUE(isDigits("0123"));
    EXPECT_FALSE(isDigits(""));
    EXPECT_FALSE(isDigits("12a"));
}
