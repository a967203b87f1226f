// HTTP/1.x messages on a proxy connection as the relay reads them (RFC 9110, RFC 9112): where a
// head ends, what it says (read once, into its parts and fields), and where the body after it
// ends: by Content-Length, by chunks or (a response) with the connection.
//
// Strict where a lenient peer and halvex could disagree on where a message ends or what it asks
// for: a bare CR or a NUL in a head, a field folded onto the next line, a blank before a field's
// colon, a Content-Length that is no number or two that differ, a transfer coding other than
// chunked in a request, a Transfer-Encoding in an HTTP/1.0 request, two Host fields, a malformed
// chunk. Lenient where every server takes what a client writes and halvex can write it in its one
// form: empty lines before a request, runs of blanks and tabs between the parts of its first line,
// bare LF line ends, a method or "HTTP/" in any case.
// Plain C++ over string views; texts hold one character per byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/hostport.h"

namespace halvex {

// The longest head the relay assembles.
inline constexpr std::size_t kMaxHead = 64 * 1024;

// Whether the bytes so far begin an HTTP request: a known method (GET, HEAD, POST, PUT, DELETE,
// CONNECT, OPTIONS, TRACE, PATCH or a WebDAV one, in any case) and a blank or a tab; empty lines
// and blanks before it are no part of it. Whether the rest is a sound request is readRequest()'s to
// say. Anything else is another protocol, told apart at the first byte that cannot begin a request.
enum class Sniff { maybe, request, other };
Sniff sniffRequest(std::string_view bytes);

// The same over a text that grows: each call is given the whole text so far and looks only at
// what is new.
class Sniffer {
public:
    Sniff feed(std::string_view text);
    void reset() { *this = Sniffer(); }

private:
    enum Part : std::uint8_t { lead, method };
    Part part_ = lead;
    std::size_t at_ = 0;     // bytes judged so far
    std::size_t start_ = 0;  // where the part began
    Sniff verdict_ = Sniff::maybe;
};

// Just past the empty line that ends a head, or npos. The search starts at `from` (bytes before
// it were searched already), less the three that may begin the line end.
std::size_t headEnd(std::string_view text, std::size_t from = 0);

// A known method in its one form ("get" is "GET"); an unknown token as it is.
std::string_view canonicalMethod(std::string_view method);

// How a message's body is framed.
struct Framing {
    enum Kind : std::uint8_t { none, sized, chunked, untilclose };
    Kind kind = none;
    std::uint64_t length = 0;
};

struct Field {
    std::string_view name;   // as written
    std::string_view value;  // without the blanks around it
};

// What a head may not be; status 0: nothing wrong.
struct Refusal {
    int status = 0;        // 400, 501, 505; 502 for a response
    std::string_view why;  // for a page and the log
    explicit operator bool() const { return status != 0; }
};

// A request head, read once: its first line's parts, its fields in order, and what the relay
// needs of them.
struct Request {
    std::string_view method;  // as the client wrote it (canonicalMethod() for sending it on)
    std::string_view target;
    int minor = 1;  // HTTP/1.minor
    std::vector<Field> fields;
    Framing framing;
    bool close = false;        // a Connection field names close
    bool keepalive = false;    // or keep-alive
    int hosts = 0;             // Host fields
    bool lengthField = false;  // a Content-Length field (which goes when chunks frame the body)
};
// `head`: from the first line (empty lines before it excluded) to the empty line that ends it.
Refusal readRequest(std::string_view head, Request &out);

// A response head: the same, and what the response filters look at.
struct Response {
    int minor = 1;
    int code = 0;
    std::vector<Field> fields;
    Framing framing;
    bool close = false;
    bool keepalive = false;
    bool lengthField = false;
    std::string_view contenttype;      // the first Content-Type
    std::string_view contentencoding;  // the last Content-Encoding
};
// toHead: it answers a HEAD request (and has no body, whatever it says).
Refusal readResponse(std::string_view head, bool toHead, Response &out);

// Whether a message's connection ends after it: it says close, or it is HTTP/1.0 and does not
// say keep-alive.
template <class Message>
bool closesAfter(const Message &m) {
    return m.close || (m.minor == 0 && !m.keepalive);
}

// The value of the first field of that name (any case), or "".
std::string_view fieldValue(const std::vector<Field> &fields, std::string_view name);

// A chunked body as it passes: how much of each piece belongs to it, and which of it is data.
class Chunked {
public:
    // The bytes of `in` that belong to the body; fewer than given once it has ended or broken.
    // onData, when given, is called with each piece of chunk data among them.
    template <class OnData>
    std::size_t feed(std::string_view in, OnData onData);
    std::size_t feed(std::string_view in) {
        return feed(in, [](std::string_view) {});
    }
    bool done() const { return state_ == finished; }
    bool bad() const { return state_ == failed; }

private:
    enum State : std::uint8_t {
        size,
        extension,
        sizeLf,
        data,
        dataCr,
        dataLf,
        trailerStart,
        trailerLine,
        trailerCr,
        trailerLf,
        finished,
        failed
    };
    std::size_t step(std::string_view in, std::size_t i);
    State state_ = size;
    std::uint64_t left_ = 0;
    int digits_ = 0;
    std::size_t lineLength_ = 0;  // of an extension or a trailer line, which are bounded
};

template <class OnData>
std::size_t Chunked::feed(std::string_view in, OnData onData) {
    std::size_t i = 0;
    while (i < in.size() && state_ != finished && state_ != failed) {
        if (state_ == data) {
            const std::size_t take = std::size_t(std::min<std::uint64_t>(left_, in.size() - i));
            onData(in.substr(i, take));
            i += take;
            left_ -= take;
            if (left_ == 0) state_ = dataCr;
            continue;
        }
        i = step(in, i);
    }
    return i;
}

// An absolute http: target split into its authority and the origin-form rest ("/" when empty).
// The host in its one form (common::normalHost): "http://2130706433/" is 127.0.0.1.
struct AbsoluteTarget {
    bool ok = false;  // http://, any case, with a host (and a port, 80 unless given)
    common::HostPort where;
    std::string_view path;
};
AbsoluteTarget absoluteTarget(std::string_view target);

// A CONNECT's authority, "host:port", the host in its one form; not ok for anything else.
struct ConnectTarget {
    bool ok = false;
    common::HostPort where;
};
ConnectTarget connectTarget(std::string_view target);

}  // namespace halvex
