// Addresses, address lists and where a relay may connect.
#include <gtest/gtest.h>

#include "common/netaddress.h"

using namespace common;

namespace {
NetAddress addr(const char *text) {
    auto a = NetAddress::parse(text);
    EXPECT_TRUE(a) << text;
    return a.value_or(NetAddress());
}
}  // namespace

TEST(NetAddress, LiteralsOnlyAndIPv4AsMappedIPv6) {
    EXPECT_EQ(addr("192.0.2.1"), addr("::ffff:192.0.2.1"));
    EXPECT_EQ(addr("[2001:db8::1]"), addr("2001:db8::1"));
    EXPECT_TRUE(addr("10.0.0.1").isV4());
    EXPECT_FALSE(addr("::1").isV4());
    EXPECT_EQ(addr("::ffff:10.0.0.1").text(), "10.0.0.1");
    // Written back as it was read, every byte width.
    for (const char *a : {"0.0.0.0", "9.10.99.100", "255.255.255.255", "192.168.1.20", "2001:db8::1"})
        EXPECT_EQ(addr(a).text(), a);
    for (const char *bad : {"", "localhost", "2130706433", "0x7f.1", "1.2.3", "[::1", "::1%lo"})
        EXPECT_FALSE(NetAddress::parse(bad)) << bad;
}

TEST(NetAddress, KindsThatAreNotThePublicInternet) {
    for (const char *a : {"127.0.0.1", "127.255.0.9", "::1", "::ffff:127.0.0.1"})
        EXPECT_TRUE(addr(a).isLoopback()) << a;
    for (const char *a : {"0.0.0.0", "0.1.2.3", "::"}) EXPECT_TRUE(addr(a).isUnspecified()) << a;
    for (const char *a : {"169.254.1.1", "fe80::1"}) EXPECT_TRUE(addr(a).isLinkLocal()) << a;
    for (const char *a : {"224.0.0.1", "239.1.1.1", "ff02::1"}) EXPECT_TRUE(addr(a).isMulticast()) << a;
    for (const char *a : {"10.9.9.9", "172.16.0.1", "172.31.255.255", "192.168.0.1", "fd12::1",
                          "100.64.0.1", "::7f00:1"})
        EXPECT_TRUE(addr(a).isPrivate()) << a;
    for (const char *a : {"8.8.8.8", "172.32.0.1", "192.0.2.1", "2001:db8::1"}) {
        const NetAddress n = addr(a);
        EXPECT_FALSE(n.isLoopback() || n.isUnspecified() || n.isLinkLocal() || n.isMulticast() ||
                     n.isPrivate())
            << a;
    }
}

TEST(AddressList, AddressesRangesAndNames) {
    auto list = AddressList::parse("10.0.0.0/8, 192.0.2.7 ,,2001:db8::/32\tpop.Internal.", true);
    ASSERT_TRUE(list) << list.why();
    EXPECT_EQ(list->size(), 4u);
    EXPECT_TRUE(list->contains(addr("10.200.1.1")));
    EXPECT_TRUE(list->contains(addr("::ffff:10.0.0.1")));
    EXPECT_TRUE(list->contains(addr("192.0.2.7")));
    EXPECT_FALSE(list->contains(addr("192.0.2.8")));
    EXPECT_TRUE(list->contains(addr("2001:db8:ffff::1")));
    EXPECT_FALSE(list->contains(addr("2001:db9::1")));
    EXPECT_TRUE(list->namesHost("POP.internal"));
    EXPECT_TRUE(list->namesHost("pop.internal."));
    EXPECT_FALSE(list->namesHost("other.internal"));
    // Odd prefix lengths cut inside a byte.
    auto odd = AddressList::parse("172.16.0.0/12 fe80::/10");
    ASSERT_TRUE(odd);
    EXPECT_TRUE(odd->contains(addr("172.31.1.1")));
    EXPECT_FALSE(odd->contains(addr("172.32.1.1")));
    EXPECT_TRUE(odd->contains(addr("febf::1")));
    EXPECT_FALSE(odd->contains(addr("fec0::1")));
    EXPECT_TRUE(AddressList::parse("0.0.0.0/0")->contains(addr("8.8.8.8")));
    EXPECT_FALSE(AddressList::parse("0.0.0.0/0")->contains(addr("2001:db8::1")));
    EXPECT_TRUE(AddressList::parse("")->empty());

    for (const char *bad : {"10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/x", "1.2.3.4.5",
                            "a b/8"}) {
        auto r = AddressList::parse(bad, true);
        EXPECT_FALSE(r) << bad;
        EXPECT_EQ(r.why().rfind("not an address or range: ", 0), 0u) << r.why();
    }
    EXPECT_FALSE(AddressList::parse("pop.internal"));  // names only where allowed
}

TEST(ServerPolicy, NoLocalOrPrivateServerUnlessAllowedAndNeverOurOwnListener) {
    const std::vector<NetAddress> own = {addr("192.0.2.10"), addr("2001:db8::10")};
    const ServerPolicy strict(*AddressList::parse(""), own, {110});
    for (const char *refused : {"127.0.0.1", "::1", "0.0.0.0", "::", "10.0.0.5", "192.168.1.1",
                                "169.254.9.9", "fe80::1", "224.0.0.1", "fd00::1", "192.0.2.10",
                                "2001:db8::10", "::ffff:127.0.0.1"})
        EXPECT_FALSE(strict.allows(addr(refused), 110)) << refused;
    EXPECT_TRUE(strict.allows(addr("8.8.8.8"), 110));
    EXPECT_TRUE(strict.allows(addr("2001:db8::99"), 995));

    const ServerPolicy open(*AddressList::parse("127.0.0.0/8 10.0.0.0/8 mail.lan", true), own, {110});
    EXPECT_TRUE(open.allows(addr("127.0.0.2"), 1110));
    EXPECT_TRUE(open.allows(addr("10.1.1.1"), 110));
    EXPECT_FALSE(open.allows(addr("192.168.1.1"), 110));
    EXPECT_TRUE(open.allowsName("MAIL.lan"));
    EXPECT_TRUE(open.allows(addr("192.168.1.1"), 110, true));
    // Whatever is allowed, a local address on our own port would be a loop.
    EXPECT_FALSE(open.allows(addr("127.0.0.2"), 110));
    EXPECT_FALSE(open.allows(addr("192.0.2.10"), 110, true));
    EXPECT_TRUE(open.allows(addr("10.1.1.1"), 110));  // another machine on our port is fine

    // Every listener of ours counts: a POP3S port beside the plain one too.
    const ServerPolicy both(*AddressList::parse("127.0.0.0/8"), own, {1110, 1995});
    EXPECT_FALSE(both.allows(addr("127.0.0.1"), 1995));
    EXPECT_FALSE(both.allows(addr("::ffff:127.0.0.1"), 1110));
    EXPECT_TRUE(both.allows(addr("127.0.0.1"), 995));
}

TEST(NormalHost, OneWrittenFormForEachHost) {
    EXPECT_EQ(normalHost("WWW.Example.ORG."), "www.example.org");
    EXPECT_EQ(normalHost("[::ffff:127.0.0.9]"), "127.0.0.9");
    EXPECT_EQ(normalHost("::FFFF:7f00:9"), "127.0.0.9");
    EXPECT_EQ(normalHost("[2001:DB8:0:0::1]"), "2001:db8::1");
    EXPECT_EQ(normalHost("127.0.0.9"), "127.0.0.9");
    EXPECT_EQ(normalHost(""), "");
}

TEST(NormalHost, EverySpellingOfAHostIsOne) {
    // Every way resolvers and browsers take an IPv4 address.
    for (const char *v4 : {"2130706441", "0x7f000009", "0x7f.9", "127.9", "0177.0.0.011", "127.0.0.9",
                           "[::ffff:127.0.0.9]", "127.0.0.9.", "127.0.0.0x9", "127.0.0.011"})
        EXPECT_EQ(normalHost(v4), "127.0.0.9") << v4;
    // Percent-encoding and international names.
    EXPECT_EQ(normalHost("ads%2Eexample"), "ads.example");
    EXPECT_EQ(normalHost("B%C3%BCcher.Example"), "xn--bcher-kva.example");
    EXPECT_EQ(normalHost("bücher.example."), "xn--bcher-kva.example");
    EXPECT_EQ(normalHost("XN--BCHER-KVA.example"), "xn--bcher-kva.example");
    // What is no address stays a name.
    EXPECT_EQ(normalHost("1.example"), "1.example");
    EXPECT_EQ(normalHost("a-1.b.example"), "a-1.b.example");
    EXPECT_EQ(normalHost("256.1.1.1"), "256.1.1.1");  // refused later as neither
    EXPECT_EQ(normalHost("1.2.3.4.5"), "1.2.3.4.5");
    EXPECT_EQ(normalHost("bad%zz"), "bad%zz");
    // An allowed name matches however the client spells it.
    const Result<AddressList> names = AddressList::parse("XN--BCHER-KVA.example", true);
    ASSERT_TRUE(names);
    EXPECT_TRUE(names->namesHost("bücher.example."));
}
