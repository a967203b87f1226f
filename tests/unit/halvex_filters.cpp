#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "halvex/filters.h"
#include "halvex/proxyconst.h"

using namespace halvex;

TEST(ProxyConst, CannedRepliesByteForByte) {
    const std::string head =
        "HTTP/1.1 200 OK\r\nVia: 1.0 GATE\r\nConnection: Close\r\nProxy -Connection: Close\r\n"
        "Date: Sun, 17 Jun 2073 00:00:00 GMT\r\nContent-Type: text/html\r\nServer: "
        "Tessaruno\r\n\r\n";
    const std::string body =
        "<html><head></head><body><center>Tessaruno does not allow this connection</center>"
        "</body></html>\r\n";
    EXPECT_EQ(head.size(), 160u);
    EXPECT_EQ(htmlbody(), body);
    EXPECT_EQ(htmlreply(), head + body);
    EXPECT_EQ(htmlreply().size(), 258u);
    EXPECT_EQ(gifreply(),
              "HTTP/1.1 200 OK\r\nVia: 1.0 GATE\r\nContent-Length: 1\r\nConnection: Close\r\n"
              "Proxy -Connection: Close\r\nDate: Sun, 17 Jun 2073 00:00:00 GMT\r\n"
              "Content-Type: image/gif\r\nServer: Tessaruno\r\n\r\n \r\n");
    EXPECT_EQ(gifreply().size(), 182u);
}

TEST(HeaderLine, Cases) {
    struct Case {
        const char *name;
        std::string text;
        std::string want;
    } cases[] = {
        {"Accept:", "GET / HTTP/1.1\r\nAccept: */*\r\nHost: a\r\n\r\n", "Accept: */*"},
        {"Accept:", "Accept: */*  \r\n", "Accept: */*  "},  // spaces before the CR stay
        {"Accept:", "X-Accept: a\r\n", "Accept: a"},        // plain substring search
        {"Accept:", "Accept-Language: de\r\n", ""},
        {"Accept:", "Host: a\r\n", ""},               // missing header: nothing, not the first line
        {"Cookie:", "Host: a\r\nCookie: id=42", ""},  // cut off by the end of the chunk
        {"Cookie:", "Cookie: a\nb\r\n", "Cookie: ab"},
        {"Accept:", "no colon\r\nat all\r\n", "no colon\r\nat all\r\n"},  // returned whole
    };
    for (const auto &c : cases) EXPECT_EQ(headerline(c.name, c.text), c.want) << c.text;
}

TEST(ReplaceAll, NonOverlappingLeftToRightAndEmptySearch) {
    EXPECT_EQ(replaceall("aaaa", "aa", "b"), "bb");
    EXPECT_EQ(replaceall("aXa", "a", "aa"), "aaXaa");
    EXPECT_EQ(replaceall("abc", "", "x"), "abc");
    EXPECT_EQ(replaceall("abc", "B", "x"), "abc");
}

namespace {
// A request head read and written again as it goes upstream: its target and Host as they are.
FilteredRequest filtered(const std::string &head, const RequestSettings &settings, std::string_view host = {}) {
    Request r;
    EXPECT_FALSE(readRequest(head, r)) << head;
    return filterrequest(r, Onward{r.target, host}, settings);
}
}  // namespace

TEST(FilterRequest, Cases) {
    const std::string line = "GET http://example.com/ HTTP/1.1\r\n";
    struct Case {
        const char *what;
        std::string request;
        bool cookie, blockme;
        std::vector<std::string> block;
        std::string want;
        bool release;
    } cases[] = {
        {"worked example",
         line + "Accept: */*\r\nCookie: id=42\r\nHost: example.com\r\n\r\n",
         true,
         false,
         {},
         line + "Accept: bla/bla\r\nCookie: tessaruno\r\nHost: example.com\r\n\r\n",
         false},
        {"accept rewritten with no switch",
         line + "Accept: */*\r\n\r\n",
         false,
         false,
         {},
         line + "Accept: bla/bla\r\n\r\n",
         false},
        {"accept in lower case",
         line + "accept: */*\r\n\r\n",
         false,
         false,
         {},
         line + "accept: */*\r\n\r\n",
         false},
        {"accept as a list",
         line + "Accept: text/html, */*\r\n\r\n",
         false,
         false,
         {},
         line + "Accept: text/html, */*\r\n\r\n",
         false},
        {"cookie switch off",
         line + "Cookie: id=42\r\n\r\n",
         false,
         false,
         {},
         line + "Cookie: id=42\r\n\r\n",
         false},
        {"both cookie lines, names in any case",
         line + "Cookie: a=1\r\nHost: h\r\nCOOKIE:b\r\n\r\n",
         true,
         false,
         {},
         line + "Cookie: tessaruno\r\nHost: h\r\nCookie: tessaruno\r\n\r\n",
         false},
        {"a header that ends in Cookie is another header",
         line + "X-Cookie: a=1\r\n\r\n",
         true,
         false,
         {},
         line + "X-Cookie: a=1\r\n\r\n",
         false},
        {"Cookie word without a Cookie header",
         "GET http://h/Cookie HTTP/1.1\r\n\r\n",
         true,
         false,
         {},
         "GET http://h/Cookie HTTP/1.1\r\n\r\n",
         false},
        {"one form: blanks, case, line ends",
         "get  http://h/ \thttp/1.1\nX-A:  1\n\n",
         false,
         false,
         {},
         "GET http://h/ HTTP/1.1\r\nX-A: 1\r\n\r\n",
         false},
        {"a length beside chunks goes",
         "POST http://h/ HTTP/1.1\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n",
         false,
         false,
         {},
         "POST http://h/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
         false},
        {"block ignores case",
         "GET http://EXAMPLE.com/ HTTP/1.1\r\n\r\n",
         false,
         true,
         {"other", "example.COM"},
         "GET http://EXAMPLE.com/ HTTP/1.1\r\n\r\n",
         true},
        {"block matches a header line",
         line + "Referer: http://ads.test/\r\n\r\n",
         false,
         true,
         {"ads.test"},
         line + "Referer: http://ads.test/\r\n\r\n",
         true},
        {"block switch off", line + "\r\n", false, false, {"example"}, line + "\r\n", false},
        {"empty block list", line + "\r\n", false, true, {}, line + "\r\n", false},
        {"empty entry matches everything", line + "\r\n", false, true, {""}, line + "\r\n", true},
        {"no entry mentioned", line + "\r\n", false, true, {"other.test"}, line + "\r\n", false},
    };
    for (const auto &c : cases) {
        const auto got = filtered(c.request, {c.cookie, c.blockme, c.block, "tessaruno"});
        EXPECT_EQ(got.text, c.want) << c.what;
        EXPECT_EQ(got.release, c.release) << c.what;
    }
}

TEST(FilterRequest, TheHostIsTheTargetsAndProxyFieldsGoWhereHalvexIsTheProxy) {
    const std::vector<std::string> none;
    // The Host goes on as the target's authority says, added where the client gave none.
    EXPECT_EQ(filtered("GET http://a/ HTTP/1.1\r\nHost: evil\r\n\r\n", {false, false, none, ""}, "a").text,
              "GET http://a/ HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_EQ(filtered("GET http://a/ HTTP/1.0\r\n\r\n", {false, false, none, ""}, "a").text,
              "GET http://a/ HTTP/1.0\r\nHost: a\r\n\r\n");
    Request r;
    ASSERT_FALSE(readRequest("GET http://a/x HTTP/1.1\r\nProxy-Connection: keep-alive\r\n"
                             "Proxy-Authorization: Basic eA==\r\nX: 1\r\n\r\n", r));
    EXPECT_EQ(filterrequest(r, Onward{"/x", "a", true}, {false, false, none, ""}).text,
              "GET /x HTTP/1.1\r\nX: 1\r\nHost: a\r\n\r\n");
}

TEST(FilterRequest, MarkerIsTheStoredText) {
    const std::vector<std::string> none;
    EXPECT_EQ(filtered("GET http://h/ HTTP/1.1\r\nCookie: x\r\n\r\n", {true, false, none, "m"}).text,
              "GET http://h/ HTTP/1.1\r\nCookie: m\r\n\r\n");
}

TEST(FilterResponse, Cases) {
    const std::string html = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<p>ads.test</p>";
    struct Case {
        const char *what;
        std::string type, text;
        bool sendempty, rpictures;
        std::vector<std::string> block;
        Canned want;
        bool body;  // the start of the body is needed for the decision
    } cases[] = {
        {"page mentions an entry", "text/html", html, true, false, {"nothing", "ads.test"}, Canned::page, true},
        {"type with parameters, in capitals", "TEXT/HTML; charset=utf-8", "ADS.TEST", true, false,
         {"ads.test"}, Canned::page, true},
        {"entry only in a header", "text/html", "HTTP/1.1 200 OK\r\nServer: ADS.test\r\n", true,
         false, {"ads.test"}, Canned::page, true},
        {"page switch off", "text/html", html, false, false, {"ads.test"}, Canned::none, false},
        {"empty block list", "text/html", html, true, false, {}, Canned::none, false},
        {"empty entry", "text/html", html, true, false, {""}, Canned::page, true},
        {"no entry mentioned", "text/html", html, true, false, {"other.test"}, Canned::none, true},
        {"not html", "text/plain", "ads.test", true, false, {"ads.test"}, Canned::none, false},
        // No type: its first bytes are looked at, in case they are a picture.
        {"no content type", "", "<html>ads.test", true, true, {"ads.test"}, Canned::none, true},
        {"picture", "image/jpeg", "", false, true, {}, Canned::picture, false},
        {"picture switch off", "image/png", "png", true, false, {"png"}, Canned::none, false},
        {"picture wins", "image/x; text/html", "ads.test", true, true, {"ads.test"}, Canned::picture,
         false},
    };
    for (const auto &c : cases) {
        const ResponseSettings settings{c.sendempty, c.rpictures, c.block};
        EXPECT_EQ(judgeresponse(c.type, c.text, settings), c.want) << c.what;
        EXPECT_EQ(judgesbody(c.type, settings), c.body) << c.what;
    }
    EXPECT_EQ(cannedtext(Canned::none), "");
    EXPECT_EQ(cannedtext(Canned::page), htmlreply());
    EXPECT_EQ(cannedtext(Canned::picture), gifreply());
}

// Every entry is found wherever it stands, whatever its length and whatever it shares with the
// others, and a list that changes between two texts is the one looked for.
TEST(MentionsBlocked, FindsWhatAPlainSearchFinds) {
    const std::vector<std::string> block = {"Ads.Test", "ads.tesx", "ab", "q", "tracker.example"};
    struct Case {
        const char *text;
        bool want;
    } cases[] = {
        {"<p>ADS.TEST</p>", true},       {"at the end: ads.tesx", true},
        {"ads.tes", false},              {"ads.tesy ads.tesz", false},
        {"qrs", true},                   {"a b", false},
        {"AB", true},                    {"", false},
        {"tracker.exampl", false},       {"see tracker.example.org", true},
    };
    for (const Case &c : cases) EXPECT_EQ(mentionsBlocked(c.text, block), c.want) << c.text;

    const std::vector<std::string> other = {"Ads.Test", "ads.tesy", "ab", "w", "tracker.example"};
    EXPECT_TRUE(mentionsBlocked("ads.tesy", other));
    EXPECT_FALSE(mentionsBlocked("ads.tesx", other));
    EXPECT_TRUE(mentionsBlocked("ads.tesx", block));
    EXPECT_TRUE(mentionsBlocked("anything", {"abc", ""}));

    // Against the plain search, over texts and lists of a small alphabet, where prefixes meet.
    std::uint32_t seed = 7;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7fff; };
    auto word = [&](std::size_t most) {
        std::string w;
        // Letters in both cases, the bytes just outside A-Z and a-z, and a byte whose low seven
        // bits are an 'A' (it is no letter and stays as it is).
        static const char kBytes[] = {'a', 'b', 'z', 'A', 'B', 'Z', '.', '@', '[', '`', '{', '\xc1'};
        for (std::size_t n = 1 + next() % most; n > 0; --n) w.push_back(kBytes[next() % sizeof kBytes]);
        return w;
    };
    for (int round = 0; round < 2000; ++round) {
        std::vector<std::string> list;
        for (int k = 1 + int(next() % 6); k > 0; --k) list.push_back(word(9));
        const std::string text = word(40);
        bool plain = false;
        std::string lowered = text;
        for (char &ch : lowered) ch = char(std::tolower(static_cast<unsigned char>(ch)));
        for (std::string e : list) {
            for (char &ch : e) ch = char(std::tolower(static_cast<unsigned char>(ch)));
            plain = plain || lowered.find(e) != std::string::npos;
        }
        EXPECT_EQ(mentionsBlocked(text, list), plain) << text;
    }
}

TEST(HostBlocked, EntriesNameTheHostOrADomainAboveIt) {
    const std::vector<std::string> block = {"Example.COM", ".ads.test", "only.test:8443", "a.b/c"};
    EXPECT_TRUE(hostblocked("example.com", 443, block));
    EXPECT_TRUE(hostblocked("WWW.example.com", 443, block));
    EXPECT_TRUE(hostblocked("x.ads.test", 443, block));
    EXPECT_TRUE(hostblocked("ads.test", 443, block));
    EXPECT_TRUE(hostblocked("only.test", 8443, block));
    EXPECT_FALSE(hostblocked("only.test", 443, block));
    EXPECT_FALSE(hostblocked("notexample.com", 443, block));
    EXPECT_FALSE(hostblocked("example.com.evil.test", 443, block));
    EXPECT_FALSE(hostblocked("a.b", 443, block));
}

TEST(HostBlocked, EveryWayOfWritingTheHostIsTheHost) {
    const std::vector<std::string> block = {"blocked.example", "127.0.0.9", "2001:db8::9"};
    // A final dot names the same host; an IPv4-mapped IPv6 address is the IPv4 address.
    for (const char *host : {"blocked.example.", "www.blocked.example.", "BLOCKED.example",
                             "::ffff:127.0.0.9", "[::ffff:127.0.0.9]", "::ffff:7f00:9",
                             "2001:DB8:0::9", "[2001:db8::9]"})
        EXPECT_TRUE(hostblocked(host, 443, block)) << host;
    EXPECT_FALSE(hostblocked("blocked.example.evil", 443, block));
    EXPECT_FALSE(hostblocked("::ffff:127.0.0.10", 443, block));
    // An entry written with a final dot blocks as well.
    EXPECT_TRUE(hostblocked("www.blocked.example", 443, {"Blocked.Example."}));
}

TEST(StatusReply, PageWithItsLengthAndTheDetailEscaped) {
    const std::string r = statusreply("502 Bad Gateway", "x <y> & z");
    const auto body = r.find("\r\n\r\n") + 4;
    EXPECT_EQ(r.substr(0, 24), "HTTP/1.1 502 Bad Gateway");
    EXPECT_NE(r.find("Content-Length: " + std::to_string(r.size() - body) + "\r\n"), std::string::npos);
    EXPECT_NE(r.find("x &lt;y&gt; &amp; z"), std::string::npos);
    EXPECT_NE(r.find("Connection: close\r\n"), std::string::npos);
}
