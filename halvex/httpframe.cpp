#include "halvex/httpframe.h"

#include <algorithm>

#include "common/asciitext.h"
#include "common/hostport.h"

namespace halvex {

namespace {

constexpr auto npos = std::string_view::npos;
constexpr std::size_t kMaxChunkLine = 4096;

// The methods a request may have: other traffic is told apart at its first bytes that are not
// the start of one of them (methods are case-sensitive).
constexpr std::string_view kMethods[] = {
    "GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH",
    // WebDAV, which office clients speak through their proxy too.
    "PROPFIND", "PROPPATCH", "MKCOL", "COPY", "MOVE", "LOCK", "UNLOCK", "REPORT", "SEARCH"};

bool knownmethod(std::string_view text, bool prefix) {
    for (std::string_view m : kMethods)
        if (prefix ? m.starts_with(text) : m == text) return true;
    return false;
}

using common::equalNoCase;
using common::trimBlanks;

std::string_view firstline(std::string_view head) {
    std::string_view line = head.substr(0, head.find('\n'));
    if (line.ends_with('\r')) line.remove_suffix(1);
    return line;
}

}  // namespace

Sniff sniffrequest(std::string_view bytes) {
    return Sniffer().feed(bytes);
}

Sniff Sniffer::feed(std::string_view text) {
    constexpr std::string_view kVersion = "HTTP/";
    while (verdict_ == Sniff::maybe && at_ < text.size()) {
        const auto c = static_cast<unsigned char>(text[at_]);
        switch (part_) {
            case method: {
                const std::string_view sofar = text.substr(0, at_);
                if (c == ' ') {
                    if (knownmethod(sofar, false)) {
                        part_ = target;
                        start_ = at_ + 1;
                    } else {
                        verdict_ = Sniff::other;
                    }
                } else if (!knownmethod(text.substr(0, at_ + 1), true)) {
                    verdict_ = Sniff::other;
                }
                break;
            }
            case target:
                if (c == ' ' && at_ > start_) {
                    part_ = version;
                    start_ = at_ + 1;
                } else if (c <= 0x20 || c == 0x7f) {
                    verdict_ = Sniff::other;
                }
                break;
            case version:
                if (c != static_cast<unsigned char>(kVersion[at_ - start_])) verdict_ = Sniff::other;
                else if (at_ - start_ + 1 == kVersion.size()) verdict_ = Sniff::request;
                break;
        }
        ++at_;
    }
    return verdict_;
}

std::size_t headend(std::string_view text, std::size_t from) {
    std::size_t at = from > 3 ? from - 3 : 0;
    while ((at = text.find('\n', at)) != npos) {
        if (at + 1 < text.size() && text[at + 1] == '\n') return at + 2;
        if (at + 2 < text.size() && text[at + 1] == '\r' && text[at + 2] == '\n') return at + 3;
        ++at;
    }
    return npos;
}

RequestLine requestline(std::string_view head) {
    RequestLine r;
    const std::string_view line = firstline(head);
    const std::size_t a = line.find(' ');
    if (a == npos) return r;
    const std::size_t b = line.find(' ', a + 1);
    if (b == npos) return r;
    r.method = line.substr(0, a);
    r.target = line.substr(a + 1, b - a - 1);
    r.version = line.substr(b + 1);
    r.ok = !r.method.empty() && !r.target.empty() && r.version.starts_with("HTTP/");
    return r;
}

StatusLine statusline(std::string_view head) {
    StatusLine s;
    const std::string_view line = firstline(head);
    if (!line.starts_with("HTTP/")) return s;
    const std::size_t a = line.find(' ');
    if (a == npos) return s;
    s.code = common::statusCode(line.substr(a + 1));
    if (s.code < 0) {
        s.code = 0;
        return s;
    }
    s.version = line.substr(0, a);
    s.ok = true;
    return s;
}

std::string_view fieldvalue(std::string_view head, std::string_view name) {
    std::string_view found;
    eachfield(head, [&](std::string_view n, std::string_view v, std::string_view) {
        if (!equalNoCase(n, name)) return true;
        found = v;
        return false;
    });
    return found;
}

namespace {

// One pass over a head for what the relay needs of it: Content-Length and Transfer-Encoding
// (chunked when chunked is the last coding), the Connection tokens, the Content-Type.
HeadFacts readhead(std::string_view head, bool untilclose) {
    HeadFacts h;
    Framing &f = h.framing;
    bool haslength = false, encoded = false, chunked = false, typed = false;
    eachfield(head, [&](std::string_view n, std::string_view v, std::string_view) {
        if (equalNoCase(n, "Content-Length")) {
            if (f.bad) return true;
            const std::string_view digits = trimBlanks(v);
            if (!common::isDigits(digits) || digits.size() > 18) {
                f.bad = true;
                return true;
            }
            std::uint64_t n64 = 0;
            for (char c : digits) n64 = n64 * 10 + std::uint64_t(c - '0');
            if (haslength && n64 != f.length) f.bad = true;
            haslength = true;
            f.length = n64;
        } else if (equalNoCase(n, "Transfer-Encoding")) {
            encoded = true;
            std::string_view last = v.substr(v.rfind(',') == npos ? 0 : v.rfind(',') + 1);
            chunked = equalNoCase(trimBlanks(last), "chunked");
        } else if (equalNoCase(n, "Connection")) {
            while (!v.empty()) {
                const std::size_t comma = v.find(',');
                const std::string_view token = trimBlanks(v.substr(0, comma));
                h.close |= equalNoCase(token, "close");
                h.keepalive |= equalNoCase(token, "keep-alive");
                v = comma == npos ? std::string_view{} : v.substr(comma + 1);
            }
        } else if (!typed && equalNoCase(n, "Content-Type")) {
            typed = true;
            h.contenttype = v;
        }
        return true;
    });
    if (f.bad) return h;
    if (encoded) {
        // Chunks frame the body whatever Content-Length says; another last coding leaves only
        // the end of the connection to frame it.
        f.kind = chunked ? Framing::chunked : Framing::untilclose;
        if (!chunked && !untilclose) f.bad = true;
        return h;
    }
    if (haslength) {
        f.kind = f.length > 0 ? Framing::sized : Framing::none;
        return h;
    }
    f.kind = untilclose ? Framing::untilclose : Framing::none;
    return h;
}

}  // namespace

HeadFacts requestfacts(std::string_view head) {
    return readhead(head, false);
}

HeadFacts responsefacts(std::string_view head, bool toHead, int code) {
    HeadFacts h = readhead(head, true);
    if (toHead || code < 200 || code == 204 || code == 304) h.framing = {};
    return h;
}

std::size_t Chunked::feed(std::string_view in) {
    std::size_t i = 0;
    while (i < in.size() && state_ != finished && state_ != failed) {
        const char c = in[i];
        switch (state_) {
            case size: {
                const int low = c | 0x20;
                int digit = -1;
                if (c >= '0' && c <= '9') digit = c - '0';
                else if (low >= 'a' && low <= 'f') digit = low - 'a' + 10;
                if (digit >= 0) {
                    if (++digits_ > 15) {
                        state_ = failed;
                        break;
                    }
                    left_ = left_ * 16 + std::uint64_t(digit);
                } else if (digits_ > 0 && (c == ';' || c == ' ' || c == '\t')) {
                    state_ = extension;
                    linelength_ = 0;
                } else if (digits_ > 0 && c == '\r') {
                    state_ = sizelf;
                } else if (digits_ > 0 && c == '\n') {
                    state_ = left_ == 0 ? trailerstart : data;
                } else {
                    state_ = failed;
                    break;
                }
                ++i;
                break;
            }
            case extension:
                if (c == '\n') state_ = left_ == 0 ? trailerstart : data;
                else if (++linelength_ > kMaxChunkLine) {
                    state_ = failed;
                    break;
                }
                ++i;
                break;
            case sizelf:
                if (c != '\n') {
                    state_ = failed;
                    break;
                }
                state_ = left_ == 0 ? trailerstart : data;
                ++i;
                break;
            case data: {
                const std::size_t take = std::size_t(std::min<std::uint64_t>(left_, in.size() - i));
                i += take;
                left_ -= take;
                if (left_ == 0) state_ = datacr;
                break;
            }
            case datacr:
                if (c == '\r') state_ = datalf;
                else if (c == '\n') state_ = size, digits_ = 0;
                else {
                    state_ = failed;
                    break;
                }
                ++i;
                break;
            case datalf:
                if (c != '\n') {
                    state_ = failed;
                    break;
                }
                state_ = size;
                digits_ = 0;
                ++i;
                break;
            case trailerstart:
                if (c == '\r') state_ = trailerlf;
                else if (c == '\n') state_ = finished;
                else {
                    state_ = trailerline;
                    linelength_ = 1;
                }
                ++i;
                break;
            case trailerline:
                if (c == '\n') state_ = trailerstart;
                else if (++linelength_ > kMaxHead) {
                    state_ = failed;
                    break;
                }
                ++i;
                break;
            case trailerlf:
                if (c != '\n') {
                    state_ = failed;
                    break;
                }
                state_ = finished;
                ++i;
                break;
            case finished:
            case failed:
                break;
        }
    }
    return i;
}

AbsoluteTarget absolutetarget(std::string_view target) {
    AbsoluteTarget t;
    constexpr std::string_view scheme = "http://";
    if (target.size() < scheme.size() || !equalNoCase(target.substr(0, scheme.size()), scheme))
        return t;
    std::string_view rest = target.substr(scheme.size());
    const std::size_t slash = rest.find_first_of("/?#");
    std::string_view where = rest.substr(0, slash);
    if (const std::size_t at = where.rfind('@'); at != npos) where.remove_prefix(at + 1);
    common::Result<common::HostPort> hp = common::parseHostPort(where, 80);
    if (!hp) return t;
    t.where = std::move(*hp);
    t.path = slash == npos ? std::string_view("/") : rest.substr(slash);
    t.ok = true;
    return t;
}

}  // namespace halvex
