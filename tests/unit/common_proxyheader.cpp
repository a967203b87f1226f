// PROXY headers as a balancer sends them, whole or cut, and what is not one.
#include <gtest/gtest.h>

#include <string>

#include "common/proxyheader.h"

using namespace common;

namespace {
std::string v2(unsigned char command, unsigned char family, const std::string &addresses) {
    std::string h("\r\n\r\n\0\r\nQUIT\n", 12);
    h.push_back(char(0x20 | command));
    h.push_back(char(family));
    h.push_back(char(addresses.size() >> 8));
    h.push_back(char(addresses.size() & 0xff));
    return h + addresses;
}
}  // namespace

TEST(ProxyHeader, VersionOneTextLine) {
    const std::string h = "PROXY TCP4 192.0.2.7 10.0.0.1 51234 110\r\n";
    const ProxyHeader p = parseProxyHeader(h + "USER alice|pop\r\n");
    ASSERT_EQ(p.state, ProxyHeader::complete);
    EXPECT_EQ(p.length, h.size());
    EXPECT_EQ(p.client->text(), "192.0.2.7");
    EXPECT_EQ(parseProxyHeader("PROXY TCP6 2001:db8::5 ::1 1 2\r\n").client->text(), "2001:db8::5");
    const ProxyHeader unknown = parseProxyHeader("PROXY UNKNOWN\r\n");
    EXPECT_EQ(unknown.state, ProxyHeader::complete);
    EXPECT_FALSE(unknown.client);
    // Cut anywhere: wait for the rest.
    for (std::size_t cut = 1; cut < h.size(); ++cut)
        EXPECT_EQ(parseProxyHeader(h.substr(0, cut)).state, ProxyHeader::incomplete) << cut;
    for (const char *bad : {"PROXY TCP4 not.an.address 10.0.0.1 1 2\r\n",
                            "PROXY TCP4 2001:db8::1 10.0.0.1 1 2\r\n", "PROXY UDP4 1.2.3.4 x\r\n",
                            "GET / HTTP/1.1\r\n", "USER alice\r\n"})
        EXPECT_EQ(parseProxyHeader(bad).state, ProxyHeader::invalid) << bad;
    EXPECT_EQ(parseProxyHeader("PROXY TCP4 " + std::string(200, '1')).state, ProxyHeader::invalid);
}

TEST(ProxyHeader, VersionOneIsOneStrictLine) {
    // A bare LF ends no header: it must not take the client's own first line into it.
    for (const char *bad : {"PROXY TCP4 192.0.2.7 10.0.0.1 1 2\nUSER alice|pop\r\n",
                            "PROXY TCP4 192.0.2.7 10.0.0.1 1 2\n", "PROXY TCP4 192.0.2.7\r10.0.0.1 1 2\r\n"})
        EXPECT_EQ(parseProxyHeader(bad).state, ProxyHeader::invalid) << bad;
    // TCP4 names IPv4 addresses as such, TCP6 IPv6 ones; all five fields, ports that are ports.
    for (const char *bad : {"PROXY TCP4 ::ffff:192.0.2.7 10.0.0.1 1 2\r\n",
                            "PROXY TCP4 192.0.2.7 ::1 1 2\r\n", "PROXY TCP6 192.0.2.7 ::1 1 2\r\n",
                            "PROXY TCP4 192.0.2.7 10.0.0.1 1\r\n",
                            "PROXY TCP4 192.0.2.7 10.0.0.1 1 2 3\r\n",
                            "PROXY TCP4 192.0.2.7 10.0.0.1 1 70000\r\n",
                            "PROXY TCP4  192.0.2.7 10.0.0.1 1 2\r\n"})
        EXPECT_EQ(parseProxyHeader(bad).state, ProxyHeader::invalid) << bad;
    // A balancer on a dual-stack socket names an IPv4 client in IPv6 form under TCP6.
    const ProxyHeader mapped = parseProxyHeader("PROXY TCP6 ::ffff:192.0.2.7 ::1 1 2\r\n");
    ASSERT_EQ(mapped.state, ProxyHeader::complete);
    EXPECT_EQ(mapped.client->text(), "192.0.2.7");
}

TEST(ProxyHeader, VersionTwoBinary) {
    const std::string v4 = v2(1, 0x11, std::string("\xc0\x00\x02\x07\x0a\x00\x00\x01\xc8\x22\x00\x6e", 12));
    const ProxyHeader p = parseProxyHeader(v4 + "data");
    ASSERT_EQ(p.state, ProxyHeader::complete);
    EXPECT_EQ(p.length, v4.size());
    EXPECT_EQ(p.client->text(), "192.0.2.7");
    std::string six(36, '\0');
    six[0] = char(0x20);
    six[1] = char(0x01);
    six[2] = char(0x0d);
    six[3] = char(0xb8);
    six[15] = 5;
    EXPECT_EQ(parseProxyHeader(v2(1, 0x21, six)).client->text(), "2001:db8::5");
    // LOCAL: the balancer's own health check names no client.
    const ProxyHeader local = parseProxyHeader(v2(0, 0x00, ""));
    EXPECT_EQ(local.state, ProxyHeader::complete);
    EXPECT_FALSE(local.client);
    for (std::size_t cut = 1; cut < v4.size(); ++cut)
        EXPECT_EQ(parseProxyHeader(v4.substr(0, cut)).state, ProxyHeader::incomplete) << cut;
    EXPECT_EQ(parseProxyHeader(v2(3, 0x11, std::string(12, '\0'))).state, ProxyHeader::invalid);
    EXPECT_EQ(parseProxyHeader(v2(1, 0x31, std::string(216, '\0'))).state, ProxyHeader::invalid);
}

TEST(ProxyHeader, OnlyAWholeSignatureCountsAsOne) {
    EXPECT_TRUE(startsWithProxySignature("PROXY TCP4"));
    EXPECT_TRUE(startsWithProxySignature(std::string("\r\n\r\n\0\r\nQUIT\nxx", 14)));
    // A client's first bytes that only look like a beginning are its own.
    EXPECT_FALSE(startsWithProxySignature("PRO"));
    EXPECT_FALSE(startsWithProxySignature("\r\n"));
    EXPECT_FALSE(startsWithProxySignature("POST /"));
}
