#include "halvex/filters.h"

#include "common/asciitext.h"
#include "common/hostport.h"
#include "common/netaddress.h"
#include "halvex/httpframe.h"
#include "halvex/proxyconst.h"

#include <algorithm>
#include <cstdint>

namespace halvex {

namespace {

constexpr auto npos = std::string_view::npos;
using common::lowercase;
using common::asciiLower;
using common::lowerInto;

bool contains(std::string_view text, std::string_view what) {
    return text.find(what) != npos;
}

// The block list made ready to be looked for in a text in one pass that skips, however long the
// list. A window as long as the shortest entry (of four bytes or more) moves along the text; the
// pair of bytes at its end tells how far it may move before an entry could end there (a table of
// pairs, by a hash: two pairs that share a slot only move less). Where it may not move, the
// entries whose first window ends with that pair are compared. Shorter entries are looked for each
// on its own. Case is ignored throughout.
class EntryFinder {
public:
    bool builtFrom(const std::vector<std::string> &block) const { return source_ == block; }

    void build(const std::vector<std::string> &block) {
        source_ = block;
        entries_.clear();
        shortOnes_.clear();
        anyEmpty_ = false;
        for (const std::string &each : block) {
            std::string entry;
            lowerInto(entry, each);
            if (entry.empty())
                anyEmpty_ = true;
            else if (entry.size() < 4)
                shortOnes_.push_back(std::move(entry));
            else
                entries_.push_back(std::move(entry));
        }
        window_ = kMaxWindow;
        for (const std::string &e : entries_) window_ = std::min(window_, e.size());
        shift_.assign(kPairs, std::uint8_t(window_ - 1));
        ending_.assign(kPairs, {});
        for (std::size_t k = 0; k < entries_.size(); ++k) {
            const std::string &e = entries_[k];
            for (std::size_t q = 1; q < window_; ++q) {
                std::uint8_t &s = shift_[pair(e[q - 1], e[q])];
                s = std::min(s, std::uint8_t(window_ - 1 - q));
            }
            ending_[pair(e[window_ - 2], e[window_ - 1])].push_back(k);
        }
    }

    // Whether the text mentions an entry. An empty entry is mentioned by every text.
    bool mentionedIn(std::string_view text) const {
        if (anyEmpty_) return true;
        if (!shortOnes_.empty()) {
            thread_local std::string lowered;
            lowerInto(lowered, text);
            for (const std::string &e : shortOnes_)
                if (contains(lowered, e)) return true;
        }
        if (entries_.empty()) return false;
        for (std::size_t end = window_ - 1; end < text.size();) {
            const std::uint32_t p = pair(asciiLower(text[end - 1]), asciiLower(text[end]));
            if (const std::uint8_t s = shift_[p]; s != 0) {
                end += s;
                continue;
            }
            const std::string_view from = text.substr(end + 1 - window_);
            for (std::size_t k : ending_[p])
                if (common::startsNoCase(from, entries_[k])) return true;
            ++end;
        }
        return false;
    }

private:
    static constexpr std::size_t kPairs = 1u << 12;
    static constexpr std::size_t kMaxWindow = 64;  // a move fits a byte
    static std::uint32_t pair(char a, char b) {
        const std::uint32_t v = std::uint32_t(static_cast<unsigned char>(a)) << 8 |
                                static_cast<unsigned char>(b);
        return (v * 2654435761u) >> 20;
    }

    std::vector<std::string> source_;   // the list as it was given, to tell when it changed
    std::vector<std::string> entries_;  // lower case, four bytes or more
    std::vector<std::string> shortOnes_;
    std::size_t window_ = kMaxWindow;
    std::vector<std::uint8_t> shift_;                 // by the pair at the window's end
    std::vector<std::vector<std::size_t>> ending_;    // entries whose first window ends so
    bool anyEmpty_ = false;
};

// Whether the text mentions any entry of the block list, in any case. The list is made ready once
// and again only when it changes: comparing it costs far less than a search.
bool mentionsentry(std::string_view text, const std::vector<std::string> &block) {
    thread_local EntryFinder finder;
    if (!finder.builtFrom(block)) finder.build(block);
    return finder.mentionedIn(text);
}

}  // namespace

bool mentionsBlocked(std::string_view text, const std::vector<std::string> &block) {
    return mentionsentry(text, block);
}

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

FilteredRequest filterrequest(const Request &r, const Onward &on, const RequestSettings &settings) {
    FilteredRequest out{{}, false};
    std::string &t = out.text;
    t.reserve(256);
    t.append(canonicalMethod(r.method)).append(" ").append(on.target).append(" HTTP/1.");
    t += char('0' + r.minor);
    t.append("\r\n");
    bool host = false;
    for (const Field &f : r.fields) {
        if (common::equalNoCase(f.name, "Host")) {
            host = true;
            t.append("Host: ").append(on.host.empty() ? f.value : on.host).append("\r\n");
        } else if (f.name == "Accept" && f.value == "*/*") {
            // Always, whatever the switches say.
            t.append("Accept: bla/bla\r\n");
        } else if (settings.cookie && common::equalNoCase(f.name, "Cookie")) {
            t.append("Cookie: ").append(settings.cookiemarker).append("\r\n");
        } else if (r.framing.kind == Framing::chunked &&
                   common::equalNoCase(f.name, "Transfer-Encoding")) {
            // In its one form, which no reader can take for anything but chunks.
            t.append("Transfer-Encoding: chunked\r\n");
        } else if (r.framing.kind == Framing::chunked &&
                   common::equalNoCase(f.name, "Content-Length")) {
            // Chunks frame the body: a length beside them is what a lenient peer would follow.
        } else if (on.dropProxyFields && (common::equalNoCase(f.name, "Proxy-Connection") ||
                                          common::equalNoCase(f.name, "Proxy-Authorization"))) {
        } else {
            t.append(f.name).append(": ").append(f.value).append("\r\n");
        }
    }
    if (!host && !on.host.empty()) t.append("Host: ").append(on.host).append("\r\n");
    t.append("\r\n");
    if (settings.blockme && !settings.block.empty()) {
        out.release = mentionsentry(t, settings.block);
    }
    return out;
}

bool hostblocked(std::string_view host, int port, const std::vector<std::string> &block) {
    thread_local std::string entry;
    // However the client wrote it ("Blocked.Example.", "[::ffff:127.0.0.9]"), in the form the
    // entries are kept in.
    const std::string h = common::normalHost(host);
    const std::string withport = common::hostAndPort(h, port);
    for (const std::string &each : block) {
        lowerInto(entry, common::trimSpaces(each));
        std::string_view e = entry;
        if (e.starts_with('.')) e.remove_prefix(1);
        if (e.ends_with('.')) e.remove_suffix(1);
        if (e == withport || e == h) return true;
        if (h.size() > e.size() && std::string_view(h).ends_with(e) &&
            h[h.size() - e.size() - 1] == '.')
            return true;
    }
    return false;
}

Canned judgeresponse(std::string_view contenttype, std::string_view text,
                     const ResponseSettings &settings) {
    if (!settings.sendempty && !settings.rpictures) return Canned::none;
    const std::string type = lowercase(contenttype);
    if (settings.rpictures && contains(type, "image")) return Canned::picture;
    if (settings.sendempty && !settings.block.empty() && contains(type, "text/html")) {
        // The response's own text decides: status line, headers and the start of the body.
        if (mentionsentry(text, settings.block)) return Canned::page;
    }
    return Canned::none;
}

namespace {
bool saysnothing(std::string_view contenttype) {
    const std::string_view t = common::trimBlanks(contenttype.substr(0, contenttype.find(';')));
    return t.empty() || common::equalNoCase(t, "application/octet-stream");
}
}  // namespace

bool judgesbody(std::string_view contenttype, const ResponseSettings &settings) {
    if (settings.rpictures && saysnothing(contenttype)) return true;
    if (!settings.sendempty || settings.block.empty()) return false;
    const std::string type = lowercase(contenttype);
    return contains(type, "text/html") && !(settings.rpictures && contains(type, "image"));
}

bool untypedPicture(std::string_view contenttype, std::string_view b) {
    if (!saysnothing(contenttype)) return false;
    auto at = [&](std::size_t i, std::string_view magic) {
        return b.size() >= i + magic.size() && b.substr(i, magic.size()) == magic;
    };
    return at(0, "GIF87a") || at(0, "GIF89a") || at(0, "\x89PNG\r\n\x1a\n") ||
           at(0, "\xff\xd8\xff") || (at(0, "RIFF") && at(8, "WEBP")) ||
           (at(4, "ftyp") && (at(8, "avif") || at(8, "avis")));
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

}  // namespace halvex
