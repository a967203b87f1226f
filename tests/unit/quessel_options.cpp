// The command line: ports and time-out given by the admin, and clear refusals of anything else.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quessel/options.h"

using quessel::parseOptions;

namespace {

TEST(Options, DefaultsAreThePop3Port) {
    auto o = parseOptions({});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->port, 110);
    EXPECT_EQ(o->serverPort, 110);
    EXPECT_EQ(o->bind, "");
    EXPECT_EQ(o->serverTimeout, 30);
    EXPECT_FALSE(o->help);
}

TEST(Options, ValuesInBothSpellings) {
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--port", "1110", "--server-port", "2110", "--bind", "127.0.0.1",
                                   "--server-timeout", "5"},
          std::vector<std::string>{"--port=1110", "--server-port=2110", "--bind=127.0.0.1",
                                   "--server-timeout=5"}}) {
        auto o = parseOptions(args);
        ASSERT_TRUE(o);
        EXPECT_EQ(o->port, 1110);
        EXPECT_EQ(o->serverPort, 2110);
        EXPECT_EQ(o->bind, "127.0.0.1");
        EXPECT_EQ(o->serverTimeout, 5);
    }
    EXPECT_TRUE(parseOptions({"--help"})->help);
}

TEST(Options, BadArgumentsNameTheProblem) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--port"}, "--port needs a value"},
        {{"--port", "0"}, "--port: not a port number: 0"},
        {{"--port", "65536"}, "--port: not a port number: 65536"},
        {{"--port", "11o"}, "--port: not a port number: 11o"},
        {{"--port", "-1"}, "--port: not a port number: -1"},
        {{"--server-port", ""}, "--server-port: not a port number: "},
        {{"--server-timeout", "0"}, "--server-timeout: not a number of seconds from 1 to 86400: 0"},
        {{"--bind="}, "--bind needs an address"},
        {{"--verbose"}, "unknown argument: --verbose"},
        {{"110"}, "unknown argument: 110"},
    };
    for (const auto &[args, why] : cases) {
        auto o = parseOptions(args);
        EXPECT_FALSE(o) << why;
        EXPECT_EQ(o.why(), why);
    }
}

}  // namespace
