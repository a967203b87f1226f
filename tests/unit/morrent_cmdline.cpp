// The command line's rules: cutting it into pieces, the mode each count chooses, and how the delete
// flag and a stored deletepopmails are read.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "morrent/cmdline.h"

using namespace morrent;
using Pieces = std::vector<std::string>;

TEST(CommandLine, SplitsAtEverySingleBlank) {
    struct Case {
        const char *line;
        Pieces pieces;
    };
    const Case cases[] = {
        {"", {}},
        {"pop.example.org", {"pop.example.org"}},
        {"a b c d", {"a", "b", "c", "d"}},
        {"a  b", {"a", "", "b"}},                // two blanks: an empty piece between them
        {"a b c d ", {"a", "b", "c", "d", ""}},  // a trailing blank: an empty last piece
        {" ", {"", ""}},
        {"a\tb", {"a\tb"}},  // only the blank separates
    };
    for (const Case &c : cases) EXPECT_EQ(splitarguments(c.line), c.pieces) << '"' << c.line << '"';
}

TEST(CommandLine, ArgumentsAreJoinedBeforeTheyAreSplit) {
    // An argument holding a blank counts as two; an empty argument still adds a piece.
    EXPECT_EQ(splitarguments(joinarguments({"host", "my pass", "1"})),
              (Pieces{"host", "my", "pass", "1"}));
    EXPECT_EQ(splitarguments(joinarguments({"h", "u", "p", "1", ""})),
              (Pieces{"h", "u", "p", "1", ""}));
    // No arguments, or a single empty one, is the window.
    EXPECT_TRUE(splitarguments(joinarguments({})).empty());
    EXPECT_TRUE(splitarguments(joinarguments({""})).empty());
}

TEST(CommandLine, CountChoosesTheMode) {
    const StartMode expected[] = {StartMode::window,      StartMode::wrongcount,
                                  StartMode::wrongcount,  StartMode::wrongcount,
                                  StartMode::commandline, StartMode::commandline,
                                  StartMode::wrongcount,  StartMode::wrongcount};
    for (std::size_t n = 0; n < std::size(expected); ++n)
        EXPECT_EQ(startmode(n), expected[n]) << n << " pieces";
    EXPECT_EQ(startmode(1000), StartMode::wrongcount);
}

TEST(CommandLine, NumbersAreRoundedHalfToEvenInto16Bits) {
    struct Case {
        const char *text;
        std::optional<int> value;
    };
    const Case cases[] = {
        {"1", 1},           {"0", 0},        {"-1", -1},    {"+3", 3},      {" 2\t", 2},
        {"0.5", 0},         {"1.5", 2},      {"2.5", 2},    {"-0.5", 0},    {"0.51", 1},
        {".5", 0},          {"1.", 1},       {"1e1", 10},   {"25E-1", 2},   {"32767", 32767},
        {"-32768", -32768}, {"32767.5", {}}, {"32768", {}}, {"-32769", {}}, {"1e400", {}},
        {"", {}},           {"yes", {}},     {"1x", {}},    {"+", {}},      {".", {}},
        {"0x10", {}},       {"inf", {}},     {"nan", {}},   {"--1", {}},    {"1e", {}},
        {"1 2", {}},
    };
    for (const Case &c : cases) EXPECT_EQ(toint16(c.text), c.value) << '"' << c.text << '"';
}

TEST(CommandLine, DeleteFlag) {
    struct Case {
        const char *piece;
        int value;
    };
    const Case cases[] = {
        {"1", 1},   {"2", 1},   {"yes", 1}, {"", 1},   {"99999", 1}, {"-99999", 1},
        {"0.6", 1}, {"1.5", 1}, {"0", 0},   {"-1", 0}, {"0.4", 0},   {"-7", 0},
    };
    for (const Case &c : cases) EXPECT_EQ(deleteflag(c.piece), c.value) << '"' << c.piece << '"';
}

TEST(CommandLine, StoredDeleteFlagChecksOnlyForOne) {
    struct Case {
        const char *value;
        int checked;
    };
    const Case cases[] = {{"1", 1}, {" 1 ", 1}, {"0", 0}, {"", 0}, {"on", 0}, {"2", 0}, {"-1", 0}};
    for (const Case &c : cases)
        EXPECT_EQ(storeddeleteflag(c.value), c.checked) << '"' << c.value << '"';
}

TEST(CommandLine, WrongCountReasonNamesTheCountAndTheUsage) {
    const std::string reason = wrongcountreason(6);
    EXPECT_NE(reason.find("(6 "), std::string::npos) << reason;
    EXPECT_NE(reason.find(usageline), std::string::npos) << reason;
}
