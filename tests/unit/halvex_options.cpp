// halvex's options: what the window holds given headless (the listen port, the upstream proxy,
// the switches), and stored values checked before the window opens, each failure naming where.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "halvex/options.h"

using halvex::parseOptions;

namespace {

halvex::StoredValue store(std::map<std::string, std::string> values) {
    return [values](std::string_view name) {
        auto it = values.find(std::string(name));
        return it == values.end() ? std::string() : it->second;
    };
}

TEST(HalvexOptions, TheWindowsSettingsHeadless) {
    auto o = parseOptions({"--port", "8080", "--upstream", "proxy.example:3128", "--remove-cookies", "on",
                           "--block-disconnect=off", "--block-send-empty", "yes", "--remove-pictures", "1"});
    ASSERT_TRUE(o) << o.why();
    EXPECT_EQ(o->port, 8080);
    ASSERT_TRUE(o->upstream);
    EXPECT_EQ(o->upstream->host, "proxy.example");
    EXPECT_EQ(o->upstream->port, 3128);
    EXPECT_EQ(o->removeCookies, true);
    EXPECT_EQ(o->blockDisconnect, false);
    EXPECT_EQ(o->blockSendEmpty, true);
    EXPECT_EQ(o->removePictures, true);
    auto direct = parseOptions({"--upstream", "none"});
    ASSERT_TRUE(direct);
    ASSERT_TRUE(direct->upstream);
    EXPECT_EQ(direct->upstream->host, "");
    auto v6 = parseOptions({"--upstream", "[::1]:3128"});
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->upstream->host, "::1");
    // Nothing given: the window keeps what is stored.
    auto none = parseOptions({});
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->port);
    EXPECT_FALSE(none->upstream);
    EXPECT_FALSE(none->removePictures);
}

TEST(HalvexOptions, WrongWindowSettingsAreRefusedNamingWhere) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--port", "80x"}, "--port: not a port number: 80x"},
        {{"--port", "0"}, "--port: not a port number: 0"},
        {{"--upstream", "proxy.example"}, "--upstream: not HOST:PORT or none: proxy.example"},
        {{"--upstream", "a b:1"}, "--upstream: not HOST:PORT or none: a b:1"},
        {{"--remove-pictures", "maybe"}, "--remove-pictures: not on or off: maybe"},
        {{"--remove-pictures="}, "--remove-pictures: not on or off: "},
    };
    for (const auto &[args, why] : cases) {
        auto o = parseOptions(args);
        ASSERT_FALSE(o) << args[0];
        EXPECT_EQ(o.why(), why);
    }
    const std::vector<std::pair<std::map<std::string, std::string>, std::string>> stored{
        {{{"plistenport", "http"}}, "registry value plistenport: not a port number: http"},
        {{{"proxyip", "proxy.example"}}, "registry value proxyport: the upstream proxy needs its port"},
        {{{"proxyip", "proxy.example"}, {"proxyport", "31280"}}, ""},
        {{{"proxyip", "proxy.example"}, {"proxyport", "x"}}, "registry value proxyport: not a port number: x"},
        {{{"proxyip", "bad host"}, {"proxyport", "1"}}, "registry value proxyip: not a host name or address: bad host"},
        {{{"pic", "sometimes"}}, "registry value pic: not on or off: sometimes"},
        {{{"pic", "on"}, {"empty", "off"}, {"headerfilter", ""}, {"cookie", "any marker"}}, ""},
        // A port stored alone (the window had no upstream yet) is no problem.
        {{{"proxyport", "8080"}}, ""},
    };
    for (const auto &[values, why] : stored) {
        auto o = parseOptions({}, store(values));
        EXPECT_EQ(o ? std::string() : o.why(), why) << values.begin()->first;
    }
    // The command line's word counts over a wrong stored one.
    EXPECT_TRUE(parseOptions({"--port", "8080"}, store({{"plistenport", "http"}})));
    EXPECT_TRUE(parseOptions({"--upstream", "none"}, store({{"proxyip", "bad host"}})));
}

TEST(HalvexOptions, StoredSwitches) {
    for (const char *off : {"", "off", "No", "FALSE", "0", " off "})
        EXPECT_EQ(halvex::switchValue(off), false) << off;
    for (const char *on : {"on", "YES", "true", "1"}) EXPECT_EQ(halvex::switchValue(on), true) << on;
    EXPECT_EQ(halvex::switchValue("2"), std::nullopt);
}

TEST(HalvexOptions, StoredNamesAreTheWindowsAndTheOptions) {
    const std::vector<std::string> names = halvex::storedNames();
    for (const char *n : {"plistenport", "proxyip", "proxyport", "debug", "cookie", "headerfilter", "empty",
                          "pic", "allowclients", "idletimeout", "loglevel", "bind", "maxpipelined"})
        EXPECT_NE(std::find(names.begin(), names.end(), n), names.end()) << n;
    // What only the command line gives is not a stored name.
    for (const char *n : {"start", "block", "blockfile", "config", "checkconfig", "port", "upstream"})
        EXPECT_EQ(std::find(names.begin(), names.end(), n), names.end()) << n;
}

TEST(HalvexOptions, ConfigFileChoice) {
    auto o = parseOptions({"--config", "/etc/tessaruno/halvex.conf", "--check-config"});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->configFile, "/etc/tessaruno/halvex.conf");
    EXPECT_TRUE(o->checkConfig);
    auto empty = parseOptions({"--config="});
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.why(), "--config needs a file name");
}

}  // namespace
