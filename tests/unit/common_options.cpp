// The command-line convention and settings for one run.
#include <gtest/gtest.h>

#include <map>

#include "common/options.h"
#include "common/settings.h"

using namespace common;

namespace {
constexpr OptionRule kOptions[] = {
    {"--port", "N", "listen port"},
    {"--start", "", "start at once"},
    {"--block", "ENTRY", "block entry", true},
    {"--idle-timeout", "SECONDS", "idle limit"},
};
}  // namespace

TEST(CommandLine, BothSpellingsSwitchesRepeatsAndPositionals) {
    auto cl = parseCommandLine(kOptions, {"--port", "1", "--port=2", "--start", "--block", "a",
                                        "--block=b", "pos", "--", "--port"},
                               true);
    ASSERT_TRUE(cl) << cl.why();
    EXPECT_EQ(*cl->value("--port"), "2");
    EXPECT_TRUE(cl->has("--start"));
    EXPECT_EQ(cl->values("--block"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(cl->positional(), (std::vector<std::string>{"pos", "--port"}));
    EXPECT_FALSE(cl->has("--idle-timeout"));
    EXPECT_EQ(cl->value("--idle-timeout"), nullptr);
    EXPECT_TRUE(parseCommandLine(kOptions, {"--help"})->help());
    EXPECT_TRUE(parseCommandLine(kOptions, {"--version"})->version());
}

TEST(CommandLine, MistakesGetOneLine) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--port"}, "--port needs a value"},
        {{"--start=yes"}, "--start takes no value"},
        {{"--colour"}, "unknown argument: --colour"},
        {{"word"}, "unknown argument: word"},
        {{"-p"}, "unknown argument: -p"},
        {{"--help=1"}, "--help takes no value"},
    };
    for (const auto &[args, why] : cases) EXPECT_EQ(parseCommandLine(kOptions, args).why(), why);
    const std::string help = usageText("prog [OPTION]...", kOptions);
    EXPECT_NE(help.find("  --idle-timeout SECONDS  idle limit\n"), std::string::npos) << help;
    EXPECT_NE(help.find("--version"), std::string::npos);
}

TEST(Settings, CommandLineThenStoredThenDefault) {
    const std::map<std::string, std::string> stored = {{"idletimeout", "30"}, {"port", "x"}};
    auto lookup = [&](std::string_view n) {
        auto it = stored.find(std::string(n));
        return it == stored.end() ? std::string() : it->second;
    };
    auto none = parseCommandLine(kOptions, {});
    const Settings fromStore(*none, lookup);
    EXPECT_EQ(*fromStore.seconds("--idle-timeout", 900), 30);
    EXPECT_EQ(fromStore.count("--port", 7).why(), "registry value port: not a number: x");
    auto given = parseCommandLine(kOptions, {"--idle-timeout", "0"});
    const Settings fromLine(*given, lookup);
    EXPECT_EQ(*fromLine.seconds("--idle-timeout", 900), 0);
    const Settings nothing(*none, {});
    EXPECT_EQ(*nothing.seconds("--idle-timeout", 900), 900);
    EXPECT_EQ(Settings::storedName("--max-per-client"), "maxperclient");
    EXPECT_FALSE(parseSeconds("-1"));
    EXPECT_FALSE(parseSeconds("99999999999"));
    EXPECT_EQ(*parseSeconds(" 45 "), 45);
    EXPECT_EQ(parseCount("0", 1).why(), "not a number from 1 to 1000000: 0");
}
