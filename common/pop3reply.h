// The replies of a POP3 server, read off its byte stream however it is cut, for morrent's
// session and for quessel's check of a server before the relay.
//
// RFC 1939 (POP3): a reply is a status line, "+OK" or "-ERR" (in any case) and its text; the
// answers to some commands go on, after a +OK, with lines up to one that is ".", each line that
// begins with "." having had one more put in front (dot-stuffing).
// RFC 2449 (CAPA): the capability list is such a multi-line answer.
// RFC 5034 (AUTH): a server may answer AUTH with a continuation, "+ " and base64, instead.
//
// Which answers are multi-line is this table's, not the callers': each command a session sends is
// announced with expect(), in the order sent, and the reader knows what to wait for.
//
// A client that keeps whole messages (morrent) reads the text of RETR and TOP as runs instead of
// lines (textRuns): as many of its bytes at once as the chunk holds, un-stuffed, without a bound on
// a line. There a line begins only after CR LF: a bare LF is a byte of the text, and a "." behind
// it neither ends the text nor is taken off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/fifo.h"
#include "common/lines.h"

namespace common {

enum class Pop3Command : std::uint8_t {
    greeting,  // not a command: what a server says first
    user, pass, apop, auth, stat, list, uidl, retr, top, dele, noop, rset, quit, capa, stls,
    other,
};

// Whether the +OK answer to the command goes on with lines ended by "." (LIST and UIDL only
// without an argument).
bool pop3MultiLine(Pop3Command command, bool withArgument);
// The command a line sent to a server starts with ("RETR 3\r\n": retr), in any case.
Pop3Command pop3CommandOf(std::string_view line, bool *withArgument = nullptr);

class Pop3Reply {
public:
    // RFC 1939 allows 512 bytes a line; servers send more, never this much.
    static constexpr std::size_t kMaxLine = 64 * 1024;

    explicit Pop3Reply(std::size_t maxLine = kMaxLine) : lines_(maxLine), maxLine_(maxLine) {}

    // The next reply to come answers this command (after those announced before it). The lines of
    // its multi-line answer may have a bound of their own (0: the reader's).
    void expect(Pop3Command command, bool withArgument = false, std::size_t maxBodyLine = 0);
    // Lines before a status line that begin with neither "+OK" nor "-ERR" are noise: given as
    // such, and the reply is still to come. Off: such a line is the reply (status, unknown).
    void setNoise(bool on) { noise_ = on; }
    // RETR and TOP answers as runs of text (above) instead of lines.
    void setTextRuns(bool on) { textRuns_ = on; }
    // Forgets what is held, the replies announced and an answer being read: what comes next is
    // read afresh (after STLS, whatever came in the clear is dropped).
    void reset();
    // Replies announced and not read to their end, the one being read included.
    std::size_t expected() const { return queue_.size() + (inBody_ ? 1 : 0); }

    struct Piece {
        enum Kind : std::uint8_t {
            none,          // the chunk ran out: more bytes first
            status,        // a status line: ok or not, and its text after the indicator
            line,          // a line of a multi-line answer, un-stuffed, without its end
            ended,         // the "." that ends a multi-line answer
            continuation,  // AUTH: "+ " and what follows (base64, perhaps empty)
            tooLong,       // a line longer than the bound: the reply cannot be read on
            noise,         // setNoise: a line that is no reply, in `whole`
            run,           // textRuns: bytes of a message's text, un-stuffed, line ends as sent
        };
        Kind kind = none;
        bool ok = false;          // status: +OK (any case); false for -ERR and anything else
        bool unknown = false;     // status: neither +OK nor -ERR
        bool multiLine = false;   // status: a multi-line answer follows (+OK to such a command)
        Pop3Command command = Pop3Command::other;  // status and after: what it answers
        std::string_view text;    // see the kinds; valid until the next call
        std::string_view end;     // line: its line end as it came ("\r\n" or "\n")
        std::string_view whole;   // status, continuation, noise: the whole line, without its end
    };
    // Takes from the front of `chunk` what the next piece needs.
    Piece next(std::string_view &chunk);

    // Bytes of the current multi-line answer so far (its lines with their ends, as sent), for a
    // caller's own bound on it.
    std::uint64_t bodyBytes() const { return bodyBytes_; }
    // Whether a multi-line answer is being read.
    bool inBody() const { return inBody_; }
    // Part of a line is held.
    bool holding() const { return lines_.holding(); }

private:
    struct Expected {
        Pop3Command command = Pop3Command::other;
        bool multiLine = false;
        std::size_t maxBodyLine = 0;
    };
    Piece nextText(std::string_view &chunk);

    LineAssembler lines_;
    std::size_t maxLine_;
    Fifo<Expected> queue_;
    bool inBody_ = false;
    bool noise_ = false;
    bool textRuns_ = false;
    bool inText_ = false;   // inBody_, read as runs of text
    bool lineStart_ = false;  // text: the next byte begins a line
    bool lastCr_ = false;     // text: the last byte given was a CR
    bool dot_ = false;        // text: a line began with "." (taken off, or the end)
    bool dotCr_ = false;      // text: ... and a CR came after it
    Pop3Command current_ = Pop3Command::other;
    std::uint64_t bodyBytes_ = 0;
};

}  // namespace common
