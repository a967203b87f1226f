#include "halvex/filters.h"

#include "common/asciitext.h"
#include "halvex/proxyconst.h"

namespace halvex {

namespace {

constexpr auto npos = std::string_view::npos;
using common::lowercase;
using common::lowerInto;

bool contains(std::string_view text, std::string_view what) {
    return text.find(what) != npos;
}

// Whether the lower-cased text mentions any entry of the block list, lower-cased. An empty entry
// is mentioned by every text.
bool mentionsentry(std::string_view lowered, const std::vector<std::string> &block) {
    std::string entry;
    for (const std::string &each : block) {
        lowerInto(entry, each);
        if (contains(lowered, entry)) return true;
    }
    return false;
}

}  // namespace

std::string replaceall(std::string_view text, std::string_view from, std::string_view to) {
    if (from.empty()) return std::string(text);
    std::string out;
    out.reserve(text.size());
    std::size_t done = 0;
    for (auto at = text.find(from); at != npos; at = text.find(from, done)) {
        out.append(text, done, at - done);
        out.append(to);
        done = at + from.size();
    }
    out.append(text, done);
    return out;
}

std::string headerline(std::string_view name, std::string_view text) {
    if (!contains(text, ":")) return std::string(text);
    const auto at = text.find(name);
    if (at == npos) return {};
    const auto crlf = text.find("\r\n", at);
    if (crlf == npos) return {};
    // Trimmed while the CR is still there: spaces before the line end stay.
    const std::string_view line = common::trimSpaces(text.substr(at, crlf - at + 1));
    std::string out;
    out.reserve(line.size());
    for (char c : line) {
        if (c != '\r' && c != '\n') out += c;
    }
    return out;
}

FilteredRequest filterrequest(std::string_view request, const RequestSettings &settings) {
    FilteredRequest out{std::string(request), false};

    // Always, whatever the switches say.
    if (headerline("Accept:", request) == "Accept: */*") {
        out.text = replaceall(out.text, "Accept: */*", "Accept: bla/bla");
    }

    if (settings.cookie && contains(out.text, "Cookie")) {
        std::string marker = "Cookie: ";
        marker += settings.cookiemarker;
        out.text = replaceall(out.text, headerline("Cookie:", request), marker);
    }

    // The whole request counts, Host and Referer lines included.
    if (settings.blockme && !settings.block.empty()) {
        out.release = mentionsentry(lowercase(out.text), settings.block);
    }
    return out;
}

Canned judgeresponse(std::string_view chunk, const ResponseSettings &settings) {
    if (!settings.sendempty && !settings.rpictures) return Canned::none;

    thread_local std::string lowered;  // the chunk, lower-cased at most once per call
    bool haslowered = false;
    std::string type;
    std::string_view t;
    if (!contains(chunk, ":")) {
        // No header at all: the chunk is judged by its whole text.
        lowerInto(lowered, chunk);
        haslowered = true;
        t = lowered;
    } else {
        type = lowercase(headerline("Content-Type:", chunk));
        t = type;
    }

    if (settings.rpictures && contains(t, "image")) return Canned::picture;

    if (settings.sendempty && !settings.block.empty() && contains(t, "text/html")) {
        // The chunk's own text decides: status line, headers and whatever body came with them.
        if (!haslowered) lowerInto(lowered, chunk);
        if (mentionsentry(lowered, settings.block)) return Canned::page;
    }
    return Canned::none;
}

std::string_view cannedtext(Canned reply) {
    switch (reply) {
        case Canned::page:
            return htmlreply();
        case Canned::picture:
            return gifreply();
        case Canned::none:
            break;
    }
    return {};
}

std::string_view filterresponse(std::string_view chunk, const ResponseSettings &settings) {
    return cannedtext(judgeresponse(chunk, settings));
}

}  // namespace halvex
