// Where HTTP/1.x messages begin and end on a proxy connection, as far as the relay needs it: a
// head up to its empty line, then a body by Content-Length, by chunks or (a response) up to the
// end of the connection. Bodies are only counted as they pass, never kept or changed.
// Plain C++ over string views; texts hold one character per byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/hostport.h"

namespace halvex {

// The longest head the relay assembles.
inline constexpr std::size_t kMaxHead = 64 * 1024;

// Whether the bytes so far can begin an HTTP request: a method (GET, HEAD, POST, PUT, DELETE,
// CONNECT, OPTIONS, TRACE, PATCH or a WebDAV one), a space, a target without spaces or control
// bytes, a space and "HTTP/". Anything else is another protocol, told apart at the first byte
// that cannot belong to a request (most at their first).
enum class Sniff { maybe, request, other };
Sniff sniffrequest(std::string_view bytes);

// The same over a text that grows: each call is given the whole text so far and looks only at
// what is new.
class Sniffer {
public:
    Sniff feed(std::string_view text);
    void reset() { *this = Sniffer(); }

private:
    enum Part : std::uint8_t { method, target, version };
    Part part_ = method;
    std::size_t at_ = 0;     // bytes judged so far
    std::size_t start_ = 0;  // where the part began
    Sniff verdict_ = Sniff::maybe;
};

// Just past the empty line that ends a head, or npos. The search starts at `from` (bytes before
// it were searched already), less the three that may begin the line end.
std::size_t headend(std::string_view text, std::size_t from = 0);

// The parts of a head's first line.
struct RequestLine {
    std::string_view method, target, version;
    bool ok = false;
};
RequestLine requestline(std::string_view head);

struct StatusLine {
    int code = 0;
    std::string_view version;
    bool ok = false;
};
StatusLine statusline(std::string_view head);

// Calls fn(name, value, line) for each header line of a head, the first line excepted: value
// trimmed of spaces and tabs, line with its line end. fn returns false to stop.
template <class Fn>
void eachfield(std::string_view head, Fn fn) {
    std::size_t at = head.find('\n');
    while (at != std::string_view::npos && at + 1 < head.size()) {
        const std::size_t start = at + 1;
        std::size_t end = head.find('\n', start);
        const std::size_t stop = end == std::string_view::npos ? head.size() : end + 1;
        std::string_view line = head.substr(start, stop - start);
        std::string_view text = line;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
        if (text.empty()) return;
        const std::size_t colon = text.find(':');
        std::string_view name = colon == std::string_view::npos ? text : text.substr(0, colon);
        std::string_view value = colon == std::string_view::npos ? std::string_view{}
                                                                 : text.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
        if (!fn(name, value, line)) return;
        at = end;
    }
}

// The value of the first header of that name (any case), or "".
std::string_view fieldvalue(std::string_view head, std::string_view name);

// How a message's body is framed.
struct Framing {
    enum Kind : std::uint8_t { none, sized, chunked, untilclose };
    Kind kind = none;
    std::uint64_t length = 0;
    bool bad = false;  // a Content-Length that is no number, or two that differ
};

// What the relay needs of a head, read in one pass: its framing, what its Connection fields say,
// its first Content-Type. A response to a HEAD request, a 1xx, 204 or 304 has no body whatever
// its head says.
struct HeadFacts {
    Framing framing;
    bool close = false;      // a Connection field names close
    bool keepalive = false;  // or keep-alive
    std::string_view contenttype;
};
HeadFacts requestfacts(std::string_view head);
HeadFacts responsefacts(std::string_view head, bool toHead, int code);

// A chunked body as it passes: how much of each piece belongs to it.
class Chunked {
public:
    // The bytes of `in` that belong to the body; fewer than given once it has ended.
    std::size_t feed(std::string_view in);
    bool done() const { return state_ == finished; }
    bool bad() const { return state_ == failed; }

private:
    enum State : std::uint8_t { size, extension, sizelf, data, datacr, datalf, trailerstart,
                                trailerline, trailerlf, finished, failed };
    State state_ = size;
    std::uint64_t left_ = 0;
    int digits_ = 0;
    std::size_t linelength_ = 0;  // of an extension or the trailer, which are bounded
};

// An absolute http: target split into its authority and the origin-form rest ("/" when empty).
struct AbsoluteTarget {
    bool ok = false;  // http://, any case, with a host (and a port, 80 unless given)
    common::HostPort where;
    std::string_view path;
};
AbsoluteTarget absolutetarget(std::string_view target);

}  // namespace halvex
