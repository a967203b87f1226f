#include <gtest/gtest.h>

#include <string>

#include "halvex/inspect.h"

using namespace halvex;

TEST(RequestTarget, FirstChunk) {
    struct Case {
        std::string pending;
        std::string want;
    } cases[] = {
        {"GET http://example.com/a?b HTTP/1.1\r\nHost: example.com\r\n\r\n",
         "http://example.com/a?b"},
        {"GET   http://example.com/  HTTP/1.0\r\n\r\n", "http://example.com/"},
        {"GET HTTP://EXAMPLE.COM/ HTTP/1.1\r\n\r\n", "HTTP://EXAMPLE.COM/"},
        {"GET /index.html HTTP/1.1\r\nHost: example.com\r\n\r\n", ""},
        {"CONNECT example.com:443 HTTP/1.1\r\n\r\n", ""},
        {"get http://example.com/ HTTP/1.1\r\n\r\n", ""},
        {"GET http://example.com/ab", ""},  // ends inside the request line
        {"", ""},
        {"\x16\x03\x01 binary", ""},
        // "GET" anywhere opens the inspection, the first "GET " decides the target.
        {"POST http://a.test/ HTTP/1.1\r\n\r\nGET http://b.test/ HTTP/1.1\r\n", "http://b.test/"},
        // No "GET " at all: everything but the first three characters is looked at.
        {"XYZhttp://a.test/ GET", "http://a.test/"},
        // Only spaces are trimmed.
        {"GET\thttp://a.test/ HTTP/1.1\r\n", "\thttp://a.test/"},
    };
    for (const auto &c : cases) EXPECT_EQ(requesttarget(c.pending), c.want) << c.pending;
}

TEST(RequestTarget, LaterChunkMustBeginARequest) {
    struct Case {
        std::string chunk;
        std::string want;
    } cases[] = {
        {"GET http://example.com/2 HTTP/1.1\r\nHost: example.com\r\n\r\n", "http://example.com/2"},
        {"GET /2 HTTP/1.1\r\n\r\n", ""},
        {" GET http://example.com/2 HTTP/1.1\r\n", ""},
        {"\r\nGET http://example.com/2 HTTP/1.1\r\n", ""},
        {"POST http://example.com/ HTTP/1.1\r\n\r\nGET http://example.com/ HTTP/1.1\r\n", ""},
    };
    for (const auto &c : cases) EXPECT_EQ(latertarget(c.chunk), c.want) << c.chunk;
}

TEST(EscapeControls, Cases) {
    const std::string text = std::string("a\r\n\tb\x01\x7f\xe9 ~\\", 11);
    EXPECT_EQ(escapecontrols(text), "a\\r\\n\\tb\\x01\\x7f\xe9 ~\\");
    EXPECT_EQ(escapecontrols(text, {.keephigh = false}), "a\\r\\n\\tb\\x01\\x7f\\xe9 ~\\");
    EXPECT_EQ(escapecontrols(text, {.keeplineends = true}), "a\r\n\\tb\\x01\\x7f\xe9 ~\\");
    EXPECT_EQ(escapecontrols(std::string(1, '\0')), "\\x00");
    // The bytes at the edges of each class.
    EXPECT_EQ(escapecontrols("\x1f\x20\x7e\x80\xff", {.keephigh = false, .keeplineends = true}),
              "\\x1f ~\\x80\\xff");
    EXPECT_EQ(escapecontrols("\x1f\x20\x7e\x80\xff\r"), "\\x1f ~\x80\xff\\r");
}
