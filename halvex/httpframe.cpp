#include "halvex/httpframe.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/asciitext.h"
#include "common/hostport.h"
#include "common/netaddress.h"

namespace halvex {

namespace {

constexpr auto npos = std::string_view::npos;
constexpr std::size_t kMaxChunkLine = 4096;
using common::equalNoCase;
using common::trimBlanks;

// The methods written in one form whatever case the client used: a server that takes "get" for GET
// must not get past a filter that looks for GET.
constexpr std::string_view kMethods[] = {
    "GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH",
    // WebDAV, which office clients speak through their proxy too.
    "PROPFIND", "PROPPATCH", "MKCOL", "COPY", "MOVE", "LOCK", "UNLOCK", "REPORT", "SEARCH"};

// Whether a text is a known method, or the start of one, in any case.
bool knownmethod(std::string_view text, bool prefix) {
    for (std::string_view m : kMethods)
        if (prefix ? m.size() >= text.size() && equalNoCase(m.substr(0, text.size()), text)
                   : equalNoCase(m, text))
            return true;
    return false;
}

// RFC 9110 token characters.
constexpr bool istchar(char c) {
    return common::isAsciiLetter(c) || common::isAsciiDigit(c) ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != npos;
}
// A field value's bytes: visible ASCII, blanks, tabs and 8-bit bytes (obs-text); no control byte.
constexpr bool isvaluebyte(unsigned char b) {
    return b == '\t' || b >= 0x20 ? b != 0x7f : false;
}
// Both as tables: every byte of every head is looked up in one of them.
template <bool (*Is)(unsigned char)>
constexpr std::array<bool, 256> byteTable() {
    std::array<bool, 256> t{};
    for (int b = 0; b < 256; ++b) t[std::size_t(b)] = Is(static_cast<unsigned char>(b));
    return t;
}
constexpr bool istcharbyte(unsigned char b) {
    return istchar(static_cast<char>(b));
}
constexpr std::array<bool, 256> kTokenBytes = byteTable<istcharbyte>();
constexpr std::array<bool, 256> kValueBytes = byteTable<isvaluebyte>();

bool istoken(std::string_view v) {
    if (v.empty()) return false;
    for (char c : v)
        if (!kTokenBytes[static_cast<unsigned char>(c)]) return false;
    return true;
}

// Eight bytes at a time while none of them is below a blank or DEL (values are mostly plain
// text); a word with such a byte, or a tab, is looked at byte by byte.
bool isfieldvalue(std::string_view v) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    std::size_t i = 0;
    for (; i + 8 <= v.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, v.data() + i, 8);
        const std::uint64_t below = (w - ones * 0x20) & ~w & highs;      // a byte < 0x20
        const std::uint64_t x = w ^ (ones * 0x7f);
        const std::uint64_t del = (x - ones) & ~x & highs;                // a byte == 0x7f
        if ((below | del) == 0) continue;
        for (std::size_t k = i; k < i + 8; ++k)
            if (!kValueBytes[static_cast<unsigned char>(v[k])]) return false;
    }
    for (; i < v.size(); ++i)
        if (!kValueBytes[static_cast<unsigned char>(v[i])]) return false;
    return true;
}

// "HTTP/1.1" in any case: the minor version, -1 for no HTTP version, -2 for another major one.
int httpversion(std::string_view v) {
    if (v.size() != 8 || !common::startsNoCase(v, "HTTP/") || v[6] != '.' ||
        !common::isAsciiDigit(v[5]) || !common::isAsciiDigit(v[7]))
        return -1;
    return v[5] == '1' ? v[7] - '0' : -2;
}

// The lines of a head, without their ends (a CR before a LF belongs to the end); false when a
// CR stands anywhere else or a NUL anywhere.
template <class Fn>
bool eachline(std::string_view head, Fn fn) {
    if (head.find('\0') != npos) return false;
    while (!head.empty()) {
        const std::size_t lf = head.find('\n');
        std::string_view line = head.substr(0, lf);
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.find('\r') != npos) return false;
        if (!fn(line)) return true;
        head = lf == npos ? std::string_view() : head.substr(lf + 1);
    }
    return true;
}

// The parts of a first line, split at runs of blanks and tabs.
std::vector<std::string_view> parts(std::string_view line) {
    std::vector<std::string_view> out;
    while (!line.empty()) {
        const std::size_t start = line.find_first_not_of(" \t");
        if (start == npos) break;
        line.remove_prefix(start);
        const std::size_t end = line.find_first_of(" \t");
        out.push_back(line.substr(0, end));
        line = end == npos ? std::string_view() : line.substr(end);
    }
    return out;
}

// The fields of a head (the lines after its first), syntax checked; a refusal names what is wrong.
struct Fields {
    std::vector<Field> *out;
    std::string_view why;
    bool read(std::string_view lines) {
        const std::size_t had = out->size();
#ifdef TESSARUNO_FUZZING
        // The fuzzer holds the two readings to each other: what the one pass takes, the line by
        // line reading takes the same way.
        if (readClean(lines)) {
            const std::vector<Field> fast(out->begin() + std::ptrdiff_t(had), out->end());
            out->resize(had);
            if (!readLines(lines) || out->size() != had + fast.size()) std::abort();
            for (std::size_t k = 0; k < fast.size(); ++k)
                if ((*out)[had + k].name != fast[k].name || (*out)[had + k].value != fast[k].value) std::abort();
            return true;
        }
#else
        if (readClean(lines)) return true;
#endif
        // Something is not as a plain head has it: read again line by line, to say what.
        out->resize(had);
        return readLines(lines);
    }

    // One pass over a head without a fault, as nearly every head is: false as soon as anything
    // is not plain (a fault, or what only looks like one), with no word of why.
    bool readClean(std::string_view h) {
        if (h.find('\0') != npos) return false;
        const std::size_t n = h.size();
        std::size_t p = h.find('\n');
        const std::string_view first = h.substr(0, p);
        if (first.substr(0, first.size() - (first.ends_with('\r') ? 1 : 0)).find('\r') != npos) return false;
        if (p == npos) return true;
        ++p;
        const char *d = h.data();
        while (p < n) {
            if (d[p] == '\n' || (d[p] == '\r' && (p + 1 == n || d[p + 1] == '\n'))) return true;  // the end
            const std::size_t nameAt = p;
            while (p < n && kTokenBytes[static_cast<unsigned char>(d[p])]) ++p;
            if (p == nameAt || p == n || d[p] != ':') return false;
            const std::string_view name(d + nameAt, p - nameAt);
            ++p;
            while (p < n && common::isBlank(d[p])) ++p;
            const std::size_t valueAt = p;
            while (p < n && kValueBytes[static_cast<unsigned char>(d[p])]) ++p;
            std::size_t valueEnd = p;
            while (valueEnd > valueAt && common::isBlank(d[valueEnd - 1])) --valueEnd;
            if (p < n) {
                if (d[p] == '\r' && (p + 1 == n || d[p + 1] == '\n')) ++p;
                else if (d[p] != '\n') return false;
                ++p;
            }
            out->push_back(Field{name, std::string_view(d + valueAt, valueEnd - valueAt)});
        }
        return true;
    }

    bool readLines(std::string_view lines) {
        bool first = true;
        const bool clean = eachline(lines, [&](std::string_view line) {
            if (first) {
                first = false;
                return true;
            }
            if (line.empty()) return false;  // the end of the head
            if (line.front() == ' ' || line.front() == '\t') {
                why = "a header line folded onto the next";
                return false;
            }
            const std::size_t colon = line.find(':');
            const std::string_view name = line.substr(0, colon);
            if (colon == npos || !istoken(name)) {
                why = colon == npos ? "a header line without a colon"
                                    : "a header name with a blank or a stray byte in it";
                return false;
            }
            const std::string_view value = trimBlanks(line.substr(colon + 1));
            if (!isfieldvalue(value)) {
                why = "a control byte in a header value";
                return false;
            }
            out->push_back(Field{name, value});
            return true;
        });
        if (!clean) why = "a bare CR or a NUL in the header";
        return why.empty();
    }
};

// The Connection tokens, in any case.
void connectiontokens(std::string_view v, bool &close, bool &keepalive) {
    while (!v.empty()) {
        const std::size_t comma = v.find(',');
        const std::string_view token = trimBlanks(v.substr(0, comma));
        close |= equalNoCase(token, "close");
        keepalive |= equalNoCase(token, "keep-alive");
        v = comma == npos ? std::string_view{} : v.substr(comma + 1);
    }
}

// Content-Length: digits, and every one the same.
bool readlength(std::string_view v, bool &seen, std::uint64_t &length) {
    if (!common::isDigits(v) || v.size() > 18) return false;
    std::uint64_t n = 0;
    for (char c : v) n = n * 10 + std::uint64_t(c - '0');
    if (seen && n != length) return false;
    seen = true;
    length = n;
    return true;
}

// The codings of every Transfer-Encoding field, in order, lower case. An empty one is kept as
// such: a list with a stray comma is where readers disagree, and is refused.
void codings(std::string_view v, std::vector<std::string> &out) {
    for (;;) {
        const std::size_t comma = v.find(',');
        out.push_back(common::lowercase(trimBlanks(v.substr(0, comma))));
        if (comma == npos) return;
        v = v.substr(comma + 1);
    }
}

Refusal refused(int status, std::string_view why) {
    return Refusal{status, why};
}

}  // namespace

// ---- telling a request from another protocol ---------------------------------------------------

Sniff sniffRequest(std::string_view bytes) {
    return Sniffer().feed(bytes);
}

Sniff Sniffer::feed(std::string_view text) {
    while (verdict_ == Sniff::maybe && at_ < text.size()) {
        const char c = text[at_];
        if (part_ == lead) {
            if (c != '\r' && c != '\n' && c != ' ' && c != '\t') {
                part_ = method;
                start_ = at_;
            }
        }
        if (part_ == method) {
            // A known method and a blank: HTTP, however the rest of it is written (what is wrong
            // with it is the reader's to refuse, never a reason to pass it on unread).
            const bool blank = c == ' ' || c == '\t';
            if (blank && knownmethod(text.substr(start_, at_ - start_), false))
                verdict_ = Sniff::request;
            else if (blank || !knownmethod(text.substr(start_, at_ - start_ + 1), true))
                verdict_ = Sniff::other;
        }
        ++at_;
    }
    return verdict_;
}

std::size_t headEnd(std::string_view text, std::size_t from) {
    std::size_t at = from > 3 ? from - 3 : 0;
    while ((at = text.find('\n', at)) != npos) {
        if (at + 1 < text.size() && text[at + 1] == '\n') return at + 2;
        if (at + 2 < text.size() && text[at + 1] == '\r' && text[at + 2] == '\n') return at + 3;
        ++at;
    }
    return npos;
}

std::string_view canonicalMethod(std::string_view method) {
    for (std::string_view m : kMethods)
        if (equalNoCase(m, method)) return m;
    return method;
}

// ---- heads
// ---------------------------------------------------------------------------------------

std::string_view fieldValue(const std::vector<Field> &fields, std::string_view name) {
    for (const Field &f : fields)
        if (equalNoCase(f.name, name)) return f.value;
    return {};
}

Refusal readRequest(std::string_view head, Request &r) {
    std::vector<Field> keep = std::move(r.fields);  // its room is used again
    r = Request{};
    r.fields = std::move(keep);
    r.fields.clear();
    const std::string_view first = head.substr(0, head.find('\n'));
    const std::vector<std::string_view> p =
        parts(first.ends_with('\r') ? first.substr(0, first.size() - 1) : first);
    if (p.size() != 3 || !istoken(p[0]))
        return refused(400, "The request's first line is not a method, a target and a version.");
    r.method = p[0];
    r.target = p[1];
    const int minor = httpversion(p[2]);
    if (minor == -2) return refused(505, "halvex speaks HTTP/1.0 and HTTP/1.1 only.");
    if (minor < 0) return refused(400, "The request's first line names no HTTP version.");
    r.minor = minor;
    for (char c : r.target) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b >= 0x7f)
            return refused(400, "The request's target holds a byte no address may hold.");
    }
    Fields fields{&r.fields, {}};
    if (!fields.read(head)) return refused(400, fields.why);

    bool lengthSeen = false, encoded = false;
    std::vector<std::string> te;
    for (const Field &f : r.fields) {
        if (equalNoCase(f.name, "Content-Length")) {
            r.lengthField = true;
            if (!readlength(f.value, lengthSeen, r.framing.length))
                return refused(400, "The request's Content-Length is no number, or two differ.");
        } else if (equalNoCase(f.name, "Transfer-Encoding")) {
            encoded = true;
            codings(f.value, te);
        } else if (equalNoCase(f.name, "Connection")) {
            connectiontokens(f.value, r.close, r.keepalive);
        } else if (equalNoCase(f.name, "Host")) {
            ++r.hosts;
        }
    }
    if (r.hosts > 1) return refused(400, "The request has more than one Host.");
    if (encoded) {
        if (r.minor == 0)
            return refused(400, "An HTTP/1.0 request cannot have a Transfer-Encoding.");
        if (te.size() != 1 || te[0] != "chunked")
            return refused(501, "halvex takes no transfer coding of a request but chunked alone.");
        // Chunks frame the body; the Content-Length goes when the request is sent on.
        r.framing.kind = Framing::chunked;
        r.framing.length = 0;
        return {};
    }
    r.framing.kind = r.framing.length > 0 ? Framing::sized : Framing::none;
    return {};
}

Refusal readResponse(std::string_view head, bool toHead, Response &r) {
    std::vector<Field> keep = std::move(r.fields);
    r = Response{};
    r.fields = std::move(keep);
    r.fields.clear();
    std::string_view first = head.substr(0, head.find('\n'));
    if (first.ends_with('\r')) first.remove_suffix(1);
    const std::size_t blank = first.find(' ');
    const int minor = httpversion(first.substr(0, blank));
    if (minor < 0 || blank == npos) return refused(502, "the server's answer is not HTTP/1.x");
    r.minor = minor;
    r.code = common::statusCode(first.substr(blank + 1));
    if (r.code < 100) return refused(502, "the server's answer has no status code");
    Fields fields{&r.fields, {}};
    if (!fields.read(head)) return refused(502, fields.why);

    bool lengthSeen = false, badLength = false;
    std::vector<std::string> te;
    bool encoded = false;
    for (const Field &f : r.fields) {
        if (equalNoCase(f.name, "Content-Length")) {
            r.lengthField = true;
            if (!readlength(f.value, lengthSeen, r.framing.length)) badLength = true;
        } else if (equalNoCase(f.name, "Transfer-Encoding")) {
            encoded = true;
            codings(f.value, te);
        } else if (equalNoCase(f.name, "Connection")) {
            connectiontokens(f.value, r.close, r.keepalive);
        } else if (r.contenttype.empty() && equalNoCase(f.name, "Content-Type")) {
            r.contenttype = f.value;
        } else if (equalNoCase(f.name, "Content-Encoding")) {
            r.contentencoding = f.value;
        }
    }
    if (toHead || r.code < 200 || r.code == 204 || r.code == 304) {
        r.framing = {};
        return {};
    }
    if (encoded) {
        // Chunks frame the body whatever Content-Length says; another last coding leaves only
        // the end of the connection to frame it.
        r.framing.kind =
            !te.empty() && te.back() == "chunked" ? Framing::chunked : Framing::untilclose;
        r.framing.length = 0;
        return {};
    }
    if (badLength) return refused(502, "the server's Content-Length is no number, or two differ");
    if (lengthSeen)
        r.framing.kind = r.framing.length > 0 ? Framing::sized : Framing::none;
    else
        r.framing.kind = Framing::untilclose;
    return {};
}

// ---- chunks
// --------------------------------------------------------------------------------------

std::size_t Chunked::step(std::string_view in, std::size_t i) {
    const char c = in[i];
    switch (state_) {
        case size: {
            int digit = -1;
            if (common::isAsciiDigit(c))
                digit = c - '0';
            else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')
                digit = (c | 0x20) - 'a' + 10;
            if (digit >= 0) {
                if (++digits_ > 15) {
                    state_ = failed;
                    return i;
                }
                left_ = left_ * 16 + std::uint64_t(digit);
            } else if (digits_ > 0 && (c == ';' || c == ' ' || c == '\t')) {
                state_ = extension;
                lineLength_ = 0;
            } else if (digits_ > 0 && c == '\r') {
                state_ = sizeLf;
            } else {
                state_ = failed;
                return i;
            }
            return i + 1;
        }
        case extension:
            if (c == '\r')
                state_ = sizeLf;
            else if (c == '\n' || (static_cast<unsigned char>(c) < 0x20 && c != '\t') ||
                     c == 0x7f || ++lineLength_ > kMaxChunkLine) {
                state_ = failed;
                return i;
            }
            return i + 1;
        case sizeLf:
            if (c != '\n') {
                state_ = failed;
                return i;
            }
            state_ = left_ == 0 ? trailerStart : data;
            return i + 1;
        case dataCr:
            if (c != '\r') {
                state_ = failed;
                return i;
            }
            state_ = dataLf;
            return i + 1;
        case dataLf:
            if (c != '\n') {
                state_ = failed;
                return i;
            }
            state_ = size;
            digits_ = 0;
            return i + 1;
        case trailerStart:
            if (c == '\r') {
                state_ = trailerLf;
            } else if (c == ' ' || c == '\t' || c == '\n' || c == ':') {
                state_ = failed;
                return i;
            } else {
                state_ = trailerLine;
                lineLength_ = 1;
            }
            return i + 1;
        case trailerLine:
            if (c == '\r')
                state_ = trailerCr;
            else if (c == '\n' || c == '\0' || ++lineLength_ > kMaxHead) {
                state_ = failed;
                return i;
            }
            return i + 1;
        case trailerCr:
            if (c != '\n') {
                state_ = failed;
                return i;
            }
            state_ = trailerStart;
            return i + 1;
        case trailerLf:
            if (c != '\n') {
                state_ = failed;
                return i;
            }
            state_ = finished;
            return i + 1;
        case data:
        case finished:
        case failed:
            break;
    }
    return i;
}

// ---- targets
// -------------------------------------------------------------------------------------

namespace {

// "host", "host:port", "[v6]", "[v6]:port"; the host in its one form and checked.
bool readauthority(std::string_view text, int fallback, common::HostPort &out) {
    std::string_view host = text, port;
    if (text.starts_with('[')) {
        const std::size_t close = text.find(']');
        if (close == npos) return false;
        host = text.substr(0, close + 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return false;
            port = rest.substr(1);
            if (port.empty()) return false;
        }
    } else if (const std::size_t colon = text.rfind(':'); colon != npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (port.empty()) return false;
    }
    if (host.empty()) return false;
    out.host = common::normalHost(host);
    if (!common::isIPv4Literal(out.host) && !common::isIPv6Literal(out.host) &&
        !common::isHostName(out.host))
        return false;
    out.port = fallback;
    if (!port.empty()) {
        const std::optional<int> p = common::parsePort(port);
        if (!p) return false;
        out.port = *p;
    }
    return true;
}

}  // namespace

AbsoluteTarget absoluteTarget(std::string_view target) {
    AbsoluteTarget t;
    constexpr std::string_view scheme = "http://";
    if (!common::startsNoCase(target, scheme)) return t;
    std::string_view rest = target.substr(scheme.size());
    const std::size_t slash = rest.find_first_of("/?#");
    std::string_view where = rest.substr(0, slash);
    if (const std::size_t at = where.rfind('@'); at != npos) where.remove_prefix(at + 1);
    if (!readauthority(where, 80, t.where)) return t;
    t.path = slash == npos ? std::string_view("/") : rest.substr(slash);
    t.ok = true;
    return t;
}

ConnectTarget connectTarget(std::string_view target) {
    ConnectTarget c;
    // An authority and nothing else: no user (a password there would end up in pages and logs),
    // no path, a port.
    if (target.find_first_of("@/?#") != npos) return c;
    c.ok = readauthority(target, 443, c.where);
    return c;
}

}  // namespace halvex
