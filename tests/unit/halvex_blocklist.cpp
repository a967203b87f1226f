#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "halvex/blocklist.h"

using namespace halvex;
using List = std::vector<std::string>;

TEST(BlockList, Add) {
    struct Case {
        List block;
        std::string field;
        bool added;
        std::string fieldafter;
        List after;
    } cases[] = {
        {{}, "http://example.com/", true, "", {"example.com"}},
        {{}, "HTTP://Example.com/", true, "", {"HTTP://Example.com"}},
        {{}, "example.com//", true, "", {"example.com/"}},
        {{}, "  http://example.com", true, "", {"  http://example.com"}},
        {{}, "http://  example.com / ", true, "", {"example.com"}},
        {{"a", "Example.COM"}, "example.com", false, "example.com", {"a", "Example.COM"}},
        {{"a"}, "", false, "", {"a"}},
        {{}, "http://", false, "http://", {}},
        {{}, "   ", false, "   ", {}},
        {{}, "http:///", false, "http:///", {}},
    };
    for (auto &c : cases) {
        const auto got = addurl(c.block, c.field);
        EXPECT_EQ(got.added, c.added) << c.field;
        EXPECT_EQ(got.field, c.fieldafter) << c.field;
        EXPECT_EQ(c.block, c.after) << c.field;
    }
}

TEST(BlockList, Remove) {
    List block{"a", "b", "c"};
    EXPECT_EQ(removeurl(block, 1), "b");
    EXPECT_EQ(block, (List{"a", "c"}));
    EXPECT_EQ(removeurl(block, -1), std::nullopt);
    EXPECT_EQ(removeurl(block, 2), std::nullopt);
    EXPECT_EQ(block, (List{"a", "c"}));
}

TEST(BlockList, AutoFormat) {
    // Control bytes around a byte that is no UTF-8: no host the normaliser can write.
    const std::string kNoHost = std::string(67, '\0') + "\xdf" + std::string(39, '\0') + "\x02" +
                                std::string(11, '\0') + "http://example.c-om/A\x02";
    struct Case {
        List block;
        int selected;
        Edit want;
        List after;
    } cases[] = {
        {{"x", "http://example.com/a/b/"}, 1, Edit::replaced, {"x", "example.com"}},
        {{"HTTP://Example.com/"}, 0, Edit::replaced, {"Example.com"}},
        {{"example.com"}, 0, Edit::unchanged, {"example.com"}},
        {{"EXAMPLE.com", "x", "http://example.com/page"}, 2, Edit::removed, {"EXAMPLE.com", "x"}},
        {{"example.com/"}, 0, Edit::replaced, {"example.com"}},
        {{" example.com /a"}, 0, Edit::replaced, {" example.com "}},  // no trimming here
        {{"http://example.com/"}, -1, Edit::unchanged, {"http://example.com/"}},
        {{"http://example.com/"}, 1, Edit::unchanged, {"http://example.com/"}},
        {{"http://"}, 0, Edit::unchanged, {"http://"}},  // nothing left to keep
        // No host in a form of its own: kept as it is, never made an empty entry.
        {{kNoHost}, 0, Edit::unchanged, {kNoHost}},
    };
    for (auto &c : cases) {
        EXPECT_EQ(autoformat(c.block, c.selected), c.want) << c.after.front();
        EXPECT_EQ(c.block, c.after);
    }
}

TEST(BlockList, FromUrlLog) {
    struct Case {
        List block;
        std::string entry;
        bool added;
        List after;
    } cases[] = {
        {{}, "10.0.0.7: http://Example.com/Path/Page.html", true, {"example.com/path/page.html"}},
        {{}, "pc7: HTTP://Example.com/", true, {"example.com"}},
        {{}, "::1: http://example.com/a/", true, {"example.com/a"}},
        {{}, "no colon/", true, {"no colon"}},
        {{"EXAMPLE.com"}, "pc7: http://example.com/", false, {"EXAMPLE.com"}},
        {{}, "", false, {}},  // nothing selected
        {{}, "pc7: http://", false, {}},
    };
    for (auto &c : cases) {
        EXPECT_EQ(blockloggedurl(c.block, c.entry), c.added) << c.entry;
        EXPECT_EQ(c.block, c.after) << c.entry;
    }
}

TEST(BlockList, LoggedConnectGivesItsHost) {
    std::vector<std::string> block;
    EXPECT_TRUE(blockloggedurl(block, "10.0.0.5: CONNECT WWW.Example.com:443"));
    EXPECT_TRUE(blockloggedurl(block, "::1: CONNECT [2001:db8::1]:8443"));
    EXPECT_EQ(block, (std::vector<std::string>{"www.example.com", "2001:db8::1"}));
}

TEST(BlockList, ImportTakesHostsAndHostsFiles) {
    const std::string text =
        "# a block list\r\n"
        "ads.example\n"
        "  tracker.example   # trailing comment\n"
        "\n"
        "127.0.0.1 localhost\n"
        "::1 ip6-localhost ip6-loopback\n"
        "0.0.0.0 0.0.0.0\n"
        "0.0.0.0 one.example\ttwo.example\n"
        "http://three.example/\n"
        "ADS.example\n";
    const std::vector<std::string> entries = blockfileentries(text);
    EXPECT_EQ(entries, (std::vector<std::string>{"ads.example", "tracker.example", "one.example",
                                                   "two.example", "three.example", "ADS.example"}));
    std::vector<std::string> block = {"One.Example"};
    EXPECT_EQ(importentries(block, entries), 4u);
    EXPECT_EQ(block, (std::vector<std::string>{"One.Example", "ads.example", "tracker.example",
                                                "two.example", "three.example"}));
}

TEST(BlockList, HostEntriesAreKeptInOneForm) {
    // However an entry is added, a host is kept as the CONNECT check compares it; other entries
    // stay as they were typed.
    std::vector<std::string> block;
    EXPECT_TRUE(addurl(block, "Blocked.Example.").added);
    EXPECT_TRUE(addurl(block, "[::ffff:127.0.0.9]").added);
    EXPECT_FALSE(addurl(block, "blocked.example").added);  // the same host
    EXPECT_FALSE(addurl(block, "127.0.0.9").added);
    EXPECT_EQ(block[0], "Blocked.Example");
    EXPECT_EQ(block[1], "127.0.0.9");
    EXPECT_EQ(normalEntry("[::ffff:127.0.0.9]:8443"), "127.0.0.9:8443");
    EXPECT_EQ(normalEntry("[2001:DB8::1]:443"), "[2001:db8::1]:443");
    EXPECT_EQ(normalEntry(".ads.example."), ".ads.example");
    EXPECT_EQ(normalEntry("ads.example/Path."), "ads.example/Path.");
    EXPECT_EQ(normalEntry("two words"), "two words");
    EXPECT_EQ(normalEntry("2130706441"), "127.0.0.9");
    EXPECT_EQ(normalEntry("Bücher.Example"), "xn--bcher-kva.example");
    EXPECT_EQ(importentries(block, blockfileentries("0.0.0.0 blocked.example.\n::ffff:127.0.0.9\n")), 0u);
    EXPECT_EQ(readblocklist("www.x.test.\n"), std::vector<std::string>{"www.x.test"});
}

TEST(BlockList, StoredOneEntryALine) {
    const std::vector<std::string> block = {"a.example", "b.example/path", "#not a comment"};
    EXPECT_EQ(blocklisttext(block), "a.example\nb.example/path\n#not a comment\n");
    EXPECT_EQ(readblocklist(blocklisttext(block)), block);
    EXPECT_EQ(readblocklist("x\r\n\r\n  y  \n"), (std::vector<std::string>{"x", "y"}));
}
