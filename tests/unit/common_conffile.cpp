// A configuration file as admins write them: what each line reads as, and one clear line for
// each line that cannot be taken.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/conffile.h"

using common::parseConfigText;

namespace {

const std::vector<std::string> kKnown{"plistenport", "proxyip", "cookie", "allowclients", "debug"};

TEST(ConfigText, WhatAdminsWrite) {
    const auto c = parseConfigText(
        "# halvex for the office\r\n"
        "\n"
        "   PListenPort   =   8080   \n"
        "proxyip=proxy.example # the upstream\n"
        "allowclients = 192.168.10.0/24,10.0.0.0/8\t# two nets\n"
        "cookie = \"our # marker \"\n"
        "\t# an indented comment\n"
        "debug =",  // no line end at the end
        "/etc/tessaruno/halvex.conf", kKnown);
    EXPECT_TRUE(c.problems.empty()) << c.problems.front();
    ASSERT_EQ(c.values.size(), 5u);
    EXPECT_EQ(c.value("plistenport"), "8080");
    EXPECT_EQ(c.value("PLISTENPORT"), "8080");
    EXPECT_EQ(c.values[0].name, "plistenport");
    EXPECT_EQ(c.values[0].line, 3);
    EXPECT_EQ(c.value("proxyip"), "proxy.example");
    EXPECT_EQ(c.value("allowclients"), "192.168.10.0/24,10.0.0.0/8");
    EXPECT_EQ(c.value("cookie"), "our # marker ");
    EXPECT_EQ(c.value("debug"), "");
    EXPECT_NE(c.find("debug"), nullptr);
    EXPECT_EQ(c.find("pic"), nullptr);
    EXPECT_EQ(c.where("proxyip"), "/etc/tessaruno/halvex.conf:4: proxyip");
    EXPECT_EQ(c.where("pic"), "/etc/tessaruno/halvex.conf: pic");
    // A # inside a word is part of the value.
    EXPECT_EQ(parseConfigText("proxyip = a#b", "f", kKnown).value("proxyip"), "a#b");
    EXPECT_TRUE(parseConfigText("", "f", kKnown).values.empty());
    // Without a list every name is taken.
    EXPECT_EQ(parseConfigText("anything = 1", "f", {}).value("anything"), "1");
}

TEST(ConfigText, EachBadLineIsOneProblemNamingFileAndLine) {
    const auto c = parseConfigText(
        "plistenport 8080\n"
        "plistnport = 8080\n"
        "= 8080\n"
        "proxy ip = x\n"
        "proxyip = a\n"
        "ProxyIP = b\n"
        "cookie = \"open\n"
        "cookie = \"closed\" trailing\n"
        "debug = \x01\n"
        "allowclients = 10.0.0.0/8\n",
        "halvex.conf", kKnown);
    EXPECT_EQ(c.problems, (std::vector<std::string>{
                              "halvex.conf:1: not a name = value line: plistenport 8080",
                              "halvex.conf:2: unknown setting plistnport",
                              "halvex.conf:3: not a name = value line: = 8080",
                              "halvex.conf:4: not a name = value line: proxy ip = x",
                              "halvex.conf:6: proxyip is set again (first on line 5)",
                              "halvex.conf:7: cookie: a quote that does not end the value",
                              "halvex.conf:8: cookie: a quote that does not end the value",
                              "halvex.conf:9: a control character in the line",
                          }));
    // The good lines still read, the first of a name counting.
    EXPECT_EQ(c.value("proxyip"), "a");
    EXPECT_EQ(c.value("allowclients"), "10.0.0.0/8");
    EXPECT_EQ(c.find("cookie"), nullptr);
}

}  // namespace
