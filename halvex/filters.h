// The request header filter and the response content filter of the relay, and the small text
// routines the relay's cores share. Texts hold one character per byte on the wire; "lower case" is
// ASCII lower case (common/asciitext.h), so other bytes pass through every comparison untouched.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "halvex/httpframe.h"

namespace halvex {

// ---- text routines ----

// Replaces every non-overlapping occurrence of `from`, left to right, case-sensitive. An empty
// `from` changes nothing.
std::string replaceall(std::string_view text, std::string_view from, std::string_view to);

// One named header line ("Accept:", "Cookie:", "Content-Type:") out of a block of HTTP text:
// from the name up to the next CR LF, spaces trimmed, CR and LF removed. A text without any ":"
// comes back whole. A header that is missing, or cut off by the end of the text, gives "".
std::string headerline(std::string_view name, std::string_view text);

// ---- request filter: every request head, before it goes on ----

struct RequestSettings {
    bool cookie;   // "Remove all Cookies"
    bool blockme;  // "Block (disconnect)"
    const std::vector<std::string> &block;
    std::string_view cookiemarker;
};

struct FilteredRequest {
    std::string text;  // what goes on
    bool release;      // the request mentions a block entry: release the slot instead
};

// Where a request goes on: its target as sent (the origin form when halvex is the proxy itself),
// the Host it carries (the target's authority; empty: the client's own Host stands), and whether
// fields meant for a proxy go (Proxy-Connection, Proxy-Authorization).
struct Onward {
    std::string_view target;
    std::string_view host;
    bool dropProxyFields = false;
};

// A request head written once in its one form, field by field: the first line with one blank
// between its parts, a known method in upper case and CR LF ends; a field "Accept: */*" becomes
// "Accept: bla/bla" whatever the switches say; with "Remove all Cookies" every Cookie field, its
// name in any case, becomes "Cookie: " and the marker; a Content-Length beside chunks goes. The
// whole head as written counts for the block list, Host and Referer included.
FilteredRequest filterrequest(const Request &request, const Onward &onward,
                              const RequestSettings &settings);

// Whether a text (any bytes) mentions an entry of the block list, in any case.
bool mentionsBlocked(std::string_view text, const std::vector<std::string> &block);

// Whether a host (a CONNECT's) is blocked: an entry names it or a domain above it
// ("example.com" blocks "www.example.com"), or names it with its port; any case.
bool hostblocked(std::string_view host, int port, const std::vector<std::string> &block);

// ---- response filter: every response, on its head and the start of its body ----

struct ResponseSettings {
    bool sendempty;  // "Block (send empty)"
    bool rpictures;  // "Remove Pictures"
    const std::vector<std::string> &block;
};

enum class Canned { none, page, picture };

// Which canned reply, if any, replaces a whole response with this Content-Type value, judged on
// `text`: its head and as much of its body as came before the decision. The picture wins.
Canned judgeresponse(std::string_view contenttype, std::string_view text,
                     const ResponseSettings &settings);

// Whether the decision on such a response needs the start of its body: an HTML page can be
// blocked by what it says, and a response whose type says nothing (none, or
// application/octet-stream) may be a picture by its first bytes.
bool judgesbody(std::string_view contenttype, const ResponseSettings &settings);

// A picture by its first bytes (GIF, PNG, JPEG, WebP, AVIF), where its type says nothing of it.
bool untypedPicture(std::string_view contenttype, std::string_view start);

// The bytes of a canned reply; "" for Canned::none.
std::string_view cannedtext(Canned reply);

}  // namespace halvex
