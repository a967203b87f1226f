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
        {"GET", Sniff::maybe},
        {"GET ", Sniff::request},
        {"GET http://a/ HTTP/", Sniff::request},
        {"PROPFIND /dav/ HTTP/1.1\r\n", Sniff::request},
        // What a lenient server takes for a request is one here too.
        {"get / http/1.1", Sniff::request},
        {"GET  / HTTP/1.1", Sniff::request},
        {"GET\t/\tHTTP/1.1", Sniff::request},
        {"\r\n\r\nGET / HTTP/1.1", Sniff::request},
        {"FOO / HTTP/1.1", Sniff::other},
        {"M-SEARCH * HTTP/1.1\r\n", Sniff::other},
        {"h", Sniff::maybe},  // HEAD, perhaps
        {"x", Sniff::other},
        {"PUT", Sniff::maybe},
        {"\x16\x03\x01", Sniff::other},
        {"SSH-2.0-OpenSSH_9.2p1 Debian\r\n", Sniff::other},
        {" GET / HTTP/1.1", Sniff::request},
        // Plainly meant as HTTP, however badly: the reader refuses it, nothing passes unread.
        {"GET /\r\n", Sniff::request},
        {"GET / FTP/1.0", Sniff::request},
        {"GET /a\x01b HTTP/1.1", Sniff::request},
        {"GETX / HTTP/1.1", Sniff::other},
        {"G\xc3\xa9T / HTTP/1.1", Sniff::other},
    };
    for (const auto &c : cases) EXPECT_EQ(sniffRequest(c.bytes), c.want) << c.bytes;
    // Fed as it grows, a byte at a time, it comes to the same verdict.
    const std::string request = "\r\nPATCH  http://a.test/x\tHTTP/1.1\r\n";
    Sniffer s;
    for (std::size_t n = 1; n < request.size(); ++n)
        EXPECT_EQ(s.feed(request.substr(0, n)), sniffRequest(request.substr(0, n))) << n;
}

TEST(HeadEnd, FoundWhereverTheSearchResumes) {
    const std::string head = "GET / HTTP/1.1\r\nHost: a\r\n\r\nbody";
    for (std::size_t from = 0; from <= head.size(); ++from) {
        const std::size_t got = headEnd(head, from);
        if (from <= 27) {
            EXPECT_EQ(got, 27u) << from;
        }
    }
    EXPECT_EQ(headEnd("GET / HTTP/1.1\nHost: a\n\nx"), 24u);
    EXPECT_EQ(headEnd("GET / HTTP/1.1\r\nHost: a\r\n\r"), std::string_view::npos);
}

TEST(Heads, ARequestIsReadOnceIntoItsParts) {
    Request r;
    ASSERT_FALSE(readRequest("get \t http://a.test/x  http/1.0\nHost: a.test\nCookie:  a=1 \n\n", r));
    EXPECT_EQ(r.method, "get");
    EXPECT_EQ(canonicalMethod(r.method), "GET");
    EXPECT_EQ(r.target, "http://a.test/x");
    EXPECT_EQ(r.minor, 0);
    ASSERT_EQ(r.fields.size(), 2u);
    EXPECT_EQ(r.fields[1].value, "a=1");
    EXPECT_EQ(fieldValue(r.fields, "COOKIE"), "a=1");
    EXPECT_EQ(r.hosts, 1);
    // The framing, and what the Connection fields say.
    ASSERT_FALSE(readRequest("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 12\r\nContent-Length: 12\r\n"
                             "Connection: foo, Keep-Alive ,close\r\n\r\n", r));
    EXPECT_EQ(r.framing.kind, Framing::sized);
    EXPECT_EQ(r.framing.length, 12u);
    EXPECT_TRUE(r.close && r.keepalive);
    // Chunks win over a length, which goes when it is sent on.
    ASSERT_FALSE(readRequest("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\nTransfer-Encoding: Chunked\r\n\r\n", r));
    EXPECT_EQ(r.framing.kind, Framing::chunked);
    EXPECT_TRUE(r.lengthField);
}

TEST(Heads, WhatTwoPeersCouldReadTwoWaysIsRefused) {
    using namespace std::string_literals;
    const struct {
        std::string head;
        int status;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: a\r\nX: a\rb\r\n\r\n", 400},            // a bare CR
        {"GET / HTTP/1.1\r\nHost: a\r\nX: a\0b\r\n\r\n"s, 400},            // a NUL
        {"GET / HTTP/1.1\r\nHost: a\r\nX: a\r\n b\r\n\r\n", 400},         // folded
        {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding : chunked\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5x\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: -1\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", 501},
        {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: identity\r\n\r\n", 501},
        {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: xchunked\r\n\r\n", 501},
        {"POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400},
        {"GET / HTTP/2.0\r\nHost: a\r\n\r\n", 505},
        {"GET / HTTP/1.1 extra\r\nHost: a\r\n\r\n", 400},
        {"GET /\xc3\xa9 HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nNoColon\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nX: \x01\r\n\r\n", 400},
    };
    for (const auto &c : cases) {
        Request r;
        EXPECT_EQ(readRequest(c.head, r).status, c.status) << c.head;
    }
    // A control byte or DEL anywhere in a long value is found, wherever it falls among the words
    // the value is read in; tabs and 8-bit bytes are a value's own.
    const std::string value = "abcdefghijklmnopqrstuvwxyz0123";
    for (std::size_t at = 0; at < value.size(); ++at)
        for (char bad : {'\x01', '\x1f', '\x7f'}) {
            std::string v = value;
            v[at] = bad;
            Request r;
            EXPECT_EQ(readRequest("GET / HTTP/1.1\r\nHost: a\r\nX: " + v + "\r\n\r\n", r).status, 400)
                << at << " " << int(bad);
        }
    Request good;
    EXPECT_FALSE(readRequest("GET / HTTP/1.1\r\nHost: a\r\nX: a\tb \x80\xff" + value + "~\r\n\r\n", good));
}

TEST(Heads, AResponseIsReadOnceAndItsFramingFollowsItsStatus) {
    Response r;
    const std::string plain = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n";
    ASSERT_FALSE(readResponse(plain, false, r));
    EXPECT_EQ(r.framing.kind, Framing::sized);
    ASSERT_FALSE(readResponse(plain, true, r));
    EXPECT_EQ(r.framing.kind, Framing::none);
    ASSERT_FALSE(readResponse("HTTP/1.1 304 x\r\nContent-Length: 9\r\nConnection: close\r\n\r\n", false, r));
    EXPECT_EQ(r.framing.kind, Framing::none);
    EXPECT_TRUE(r.close);
    ASSERT_FALSE(readResponse("HTTP/1.0 200 OK\r\n\r\n", false, r));
    EXPECT_EQ(r.framing.kind, Framing::untilclose);
    ASSERT_FALSE(readResponse("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\nContent-Length: 4\r\n"
                              "Content-Type: text/html\r\ncontent-type: image/gif\r\nContent-Encoding: br\r\n\r\n",
                              false, r));
    EXPECT_EQ(r.framing.kind, Framing::chunked);
    EXPECT_EQ(r.contenttype, "text/html");
    EXPECT_EQ(r.contentencoding, "br");
    for (const char *bad : {"SSH-2.0\r\n\r\n", "HTTP/1.1 2000 x\r\n\r\n",
                            "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n",
                            "HTTP/1.1 200 OK\r\nX: a\r\n folded\r\n\r\n"})
        EXPECT_TRUE(readResponse(bad, false, r)) << bad;
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
    // Every line of the framing ends in CR LF: a bare LF is where two readers part ways.
    for (const char *broken : {"4\nwiki\r\n0\r\n\r\n", "4\r\nwiki\n0\r\n\r\n", "4\r\nwikiX\r\n",
                               "0\r\nX-T: 1\n\r\n", "0\r\n :x\r\n\r\n"}) {
        Chunked c;
        c.feed(broken);
        EXPECT_TRUE(c.bad()) << broken;
    }
    // The data itself, piece by piece, however cut.
    std::string data;
    Chunked d;
    for (char c : body) d.feed(std::string_view(&c, 1), [&](std::string_view piece) { data += piece; });
    EXPECT_EQ(data, "wiki0123456789");
}

TEST(Targets, AbsoluteAddresses) {
    const AbsoluteTarget t = absoluteTarget("HTTP://user@A.test:8080/p/q?x");
    EXPECT_TRUE(t.ok);
    EXPECT_EQ(t.where.host, "a.test");  // in its one form
    EXPECT_EQ(t.where.port, 8080);
    EXPECT_EQ(t.path, "/p/q?x");
    EXPECT_EQ(absoluteTarget("http://a.test").path, "/");
    EXPECT_EQ(absoluteTarget("http://a.test?q").path, "?q");
    EXPECT_FALSE(absoluteTarget("https://a.test/").ok);
    EXPECT_FALSE(absoluteTarget("/local").ok);
    EXPECT_FALSE(absoluteTarget("http:///x").ok);
    EXPECT_EQ(absoluteTarget("http://[::1]:81/").where.host, "::1");
    EXPECT_FALSE(absoluteTarget("http://a.test:0/").ok);
    EXPECT_FALSE(absoluteTarget("http://a test/").ok);
    // Every spelling of a host is its one form.
    EXPECT_EQ(absoluteTarget("http://2130706441/").where.host, "127.0.0.9");
    EXPECT_EQ(absoluteTarget("http://ADS.example./").where.host, "ads.example");
    EXPECT_EQ(connectTarget("[::ffff:127.0.0.9]:443").where.host, "127.0.0.9");
    EXPECT_EQ(connectTarget("a.test").where.port, 443);
    EXPECT_FALSE(connectTarget("bob:pw@a.test:443").ok);
    EXPECT_FALSE(connectTarget("a.test:443/x").ok);
}
