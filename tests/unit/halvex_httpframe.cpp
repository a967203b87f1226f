// Where requests and responses begin and end, as the relay finds it.
#include <gtest/gtest.h>

#include <string>

#include "halvex/httpframe.h"

using namespace halvex;

TEST(Sniff, TellsARequestFromAnotherProtocolWithinItsFirstBytes) {
    struct Case {
        std::string bytes;
        Sniff want;
    } cases[] = {
        {"", Sniff::maybe},
        {"GE", Sniff::maybe},
        {"GET http://a/ HT", Sniff::maybe},
        {"GET http://a/ HTTP/", Sniff::request},
        {"PROPFIND /dav/ HTTP/1.1\r\n", Sniff::request},
        {"M-SEARCH * HTTP/1.1\r\n", Sniff::other},
        {"h", Sniff::other},
        {"get / HTTP/1.1", Sniff::other},
        {"GETX / HTTP/1.1", Sniff::other},
        {"PUT", Sniff::maybe},
        {"\x16\x03\x01", Sniff::other},
        {"SSH-2.0-OpenSSH\r\n", Sniff::other},
        {" GET / HTTP/1.1", Sniff::other},
        {"GET  / HTTP/1.1", Sniff::other},
        {"GET /\r\n", Sniff::other},
        {"GET / FTP/1.0", Sniff::other},
        {"GET /a\tb HTTP/1.1", Sniff::other},
    };
    for (const auto &c : cases) EXPECT_EQ(sniffrequest(c.bytes), c.want) << c.bytes;
    // Fed as it grows, a byte at a time, it comes to the same verdict.
    const std::string request = "PATCH http://a.test/x HTTP/1.1\r\n";
    Sniffer s;
    for (std::size_t n = 1; n < request.size(); ++n)
        EXPECT_EQ(s.feed(request.substr(0, n)), sniffrequest(request.substr(0, n))) << n;
}

TEST(HeadEnd, FoundWhereverTheSearchResumes) {
    const std::string head = "GET / HTTP/1.1\r\nHost: a\r\n\r\nbody";
    for (std::size_t from = 0; from <= head.size(); ++from) {
        const std::size_t got = headend(head, from);
        if (from <= 27) {
            EXPECT_EQ(got, 27u) << from;
        }
    }
    EXPECT_EQ(headend("GET / HTTP/1.1\nHost: a\n\nx"), 24u);
    EXPECT_EQ(headend("GET / HTTP/1.1\r\nHost: a\r\n\r"), std::string_view::npos);
}

TEST(Lines, RequestAndStatusLines) {
    const RequestLine r = requestline("CONNECT a.test:443 HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.method, "CONNECT");
    EXPECT_EQ(r.target, "a.test:443");
    EXPECT_EQ(r.version, "HTTP/1.1");
    EXPECT_FALSE(requestline("GET /\r\n\r\n").ok);
    EXPECT_EQ(statusline("HTTP/1.1 404 Not Found\r\n").code, 404);
    EXPECT_EQ(statusline("HTTP/1.0 200\r\n").code, 200);
    EXPECT_FALSE(statusline("HTTP/1.1 2000 x\r\n").ok);
    EXPECT_FALSE(statusline("SSH-2.0\r\n").ok);
}

TEST(Framing, BodiesByLengthChunksOrTheEnd) {
    EXPECT_EQ(requestfacts("POST / HTTP/1.1\r\ncontent-length: 12\r\n\r\n").framing.kind, Framing::sized);
    EXPECT_EQ(requestfacts("POST / HTTP/1.1\r\ncontent-length: 12\r\n\r\n").framing.length, 12u);
    EXPECT_EQ(requestfacts("GET / HTTP/1.1\r\n\r\n").framing.kind, Framing::none);
    EXPECT_EQ(requestfacts("POST / HTTP/1.1\r\nContent-Length: 5\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n").framing.kind,
              Framing::chunked);
    EXPECT_TRUE(requestfacts("POST / HTTP/1.1\r\nContent-Length: 5x\r\n\r\n").framing.bad);
    EXPECT_TRUE(requestfacts("POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n").framing.bad);
    EXPECT_TRUE(requestfacts("POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n").framing.bad);
    const std::string plain = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";
    EXPECT_EQ(responsefacts(plain, false, 200).framing.kind, Framing::sized);
    EXPECT_EQ(responsefacts(plain, true, 200).framing.kind, Framing::none);
    EXPECT_EQ(responsefacts(plain, false, 304).framing.kind, Framing::none);
    EXPECT_EQ(responsefacts(plain, false, 204).framing.kind, Framing::none);
    EXPECT_EQ(responsefacts("HTTP/1.0 200 OK\r\n\r\n", false, 200).framing.kind, Framing::untilclose);
}

TEST(Framing, OnePassReadsConnectionAndTypeAsWell) {
    // Tokens from every Connection line, in any case; the first Content-Type; a bad length
    // does not hide the fields after it.
    const HeadFacts r = responsefacts(
        "HTTP/1.1 200 OK\r\nconnection: Upgrade\r\nContent-Length: x\r\nContent-Type: text/html\r\n"
        "CONNECTION: foo, Keep-Alive ,close\r\ncontent-type: image/gif\r\n\r\n",
        false, 200);
    EXPECT_TRUE(r.framing.bad);
    EXPECT_TRUE(r.close);
    EXPECT_TRUE(r.keepalive);
    EXPECT_EQ(r.contenttype, "text/html");
    const HeadFacts q = requestfacts("GET / HTTP/1.1\r\nConnection: closed, keep-alives\r\n\r\n");
    EXPECT_FALSE(q.close || q.keepalive);
    EXPECT_EQ(q.contenttype, "");
    // A response without a body still says whether the connection stays.
    const HeadFacts h = responsefacts("HTTP/1.1 304 x\r\nContent-Length: 9\r\nConnection: close\r\n\r\n", false, 304);
    EXPECT_EQ(h.framing.kind, Framing::none);
    EXPECT_TRUE(h.close);
}

TEST(Chunked, EndsAfterTheLastChunkAndTrailerHoweverCut) {
    const std::string body = "4;ext=1\r\nwiki\r\nA\r\n0123456789\r\n0\r\nX-T: 1\r\n\r\n";
    for (std::size_t cut = 0; cut <= body.size(); ++cut) {
        Chunked c;
        const std::size_t a = c.feed(std::string_view(body).substr(0, cut));
        EXPECT_EQ(a, cut);
        const std::size_t b = c.feed(body.substr(cut) + "NEXT");
        EXPECT_EQ(a + b, body.size()) << cut;
        EXPECT_TRUE(c.done()) << cut;
    }
    Chunked bad;
    bad.feed("zz\r\n");
    EXPECT_TRUE(bad.bad());
    Chunked huge;
    huge.feed("1234567890abcdef0\r\n");
    EXPECT_TRUE(huge.bad());
}

TEST(Targets, AbsoluteAddresses) {
    const AbsoluteTarget t = absolutetarget("HTTP://user@A.test:8080/p/q?x");
    EXPECT_TRUE(t.ok);
    EXPECT_EQ(t.where.host, "A.test");
    EXPECT_EQ(t.where.port, 8080);
    EXPECT_EQ(t.path, "/p/q?x");
    EXPECT_EQ(absolutetarget("http://a.test").path, "/");
    EXPECT_EQ(absolutetarget("http://a.test?q").path, "?q");
    EXPECT_FALSE(absolutetarget("https://a.test/").ok);
    EXPECT_FALSE(absolutetarget("/local").ok);
    EXPECT_FALSE(absolutetarget("http:///x").ok);
    EXPECT_EQ(absolutetarget("http://[::1]:81/").where.host, "::1");
    EXPECT_FALSE(absolutetarget("http://a.test:0/").ok);
    EXPECT_FALSE(absolutetarget("http://a test/").ok);
}
