// The request header filter and the response content filter of the relay, and the small text
// routines the relay's cores share. Texts hold one character per byte on the wire; "lower case" is
// ASCII lower case (common/asciitext.h), so other bytes pass through every comparison untouched.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace halvex {

// ---- text routines ----

// Replaces every non-overlapping occurrence of `from`, left to right, case-sensitive. An empty
// `from` changes nothing.
std::string replaceall(std::string_view text, std::string_view from, std::string_view to);

// One named header line ("Accept:", "Cookie:", "Content-Type:") out of a block of HTTP text:
// from the name up to the next CR LF, spaces trimmed, CR and LF removed. A text without any ":"
// comes back whole. A header that is missing, or cut off by the end of the text, gives "".
std::string headerline(std::string_view name, std::string_view text);

// ---- request filter: the first request of a connection, before it goes upstream ----

struct RequestSettings {
    bool cookie;   // "Remove all Cookies"
    bool blockme;  // "Block (disconnect)"
    const std::vector<std::string> &block;
    std::string_view cookiemarker;
};

struct FilteredRequest {
    std::string text;  // what goes upstream
    bool release;      // the request mentions a block entry: release the slot instead
};

FilteredRequest filterrequest(std::string_view request, const RequestSettings &settings);

// ---- response filter: every chunk from upstream ----

struct ResponseSettings {
    bool sendempty;  // "Block (send empty)"
    bool rpictures;  // "Remove Pictures"
    const std::vector<std::string> &block;
};

enum class Canned { none, page, picture };

// Which canned reply, if any, replaces the chunk. The picture wins over the page.
Canned judgeresponse(std::string_view chunk, const ResponseSettings &settings);

// The bytes of a canned reply; "" for Canned::none.
std::string_view cannedtext(Canned reply);

// "" when the chunk goes on unchanged, else the canned reply to send instead. After sending a
// canned reply the relay ends the connection once it is written out: the rest of the original
// response would otherwise follow a reply that already claims to be complete.
std::string_view filterresponse(std::string_view chunk, const ResponseSettings &settings);

}  // namespace halvex
