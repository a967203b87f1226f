// The routing map as an admin writes it: names, domains, the default, a rewritten login, and
// every line that cannot be used named by its number.
#include <gtest/gtest.h>

#include "quessel/popmap.h"

using namespace quessel;

TEST(PopMap, ANameGoesWhereItsEntrySaysAsItIsOrRewritten) {
    const auto map = PopMap::parse(
        "# the office\n"
        "alice: pop.example.org\n"
        "Bob:  pop.example.org:995   robert   # he logs in as robert\r\n"
        "\n"
        "*@example.com: mail.example.com\n"
        "*: [2001:db8::1]\n");
    ASSERT_TRUE(map) << map.why();
    auto r = map->find("ALICE");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->host, "pop.example.org");
    EXPECT_EQ(r->port, 0);
    EXPECT_EQ(r->login, "ALICE");  // the name as the client gave it
    r = map->find("bob");
    EXPECT_EQ(r->port, 995);
    EXPECT_EQ(r->login, "robert");
    EXPECT_EQ(map->find("carol@Example.COM")->host, "mail.example.com");
    EXPECT_EQ(map->find("dave@elsewhere.org")->host, "2001:db8::1");
    EXPECT_EQ(map->find("nobody")->login, "nobody");
    const auto noDefault = PopMap::parse("alice: pop.example.org\n");
    EXPECT_FALSE(noDefault->find("mallory"));
    EXPECT_FALSE(noDefault->find(""));
}

TEST(PopMap, ALineThatCannotBeUsedIsNamedByItsNumber) {
    const std::pair<const char *, const char *> cases[] = {
        {"alice pop.example.org\n", "line 1: no \":\" after the name"},
        {"# x\n: pop\n", "line 2: no name before the \":\""},
        {"alice:\n", "line 1: no server for alice"},
        {"a b: pop\n", "line 1: not a name, \"*@domain\" or \"*\": a b"},
        {"al*ce: pop\n", "line 1: not a name, \"*@domain\" or \"*\": al*ce"},
        {"alice: pop.example.org\nALICE: other\n", "line 2: a second entry for alice"},
        {"*: a\n*: b\n", "line 2: a second \"*\""},
        {"alice: pop:99999\n", "line 1: \"99999\" is not a port number from 1 to 65535"},
        {"alice: pop x y\n", "line 1: more than one name to log in as: x y"},
        {"alice: bad/host\n", "line 1: \"bad/host\" is not a host name or address with an optional port"},
    };
    for (const auto &[text, why] : cases) {
        const auto map = PopMap::parse(text);
        EXPECT_FALSE(map) << text;
        EXPECT_EQ(map.why(), why);
    }
}
