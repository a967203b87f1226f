#include "common/pop3reply.h"

#include <cstring>

#include "common/asciitext.h"

namespace common {

namespace {

struct CommandName {
    std::string_view word;
    Pop3Command command;
};
constexpr CommandName kCommands[] = {
    {"USER", Pop3Command::user}, {"PASS", Pop3Command::pass}, {"APOP", Pop3Command::apop},
    {"AUTH", Pop3Command::auth}, {"STAT", Pop3Command::stat}, {"LIST", Pop3Command::list},
    {"UIDL", Pop3Command::uidl}, {"RETR", Pop3Command::retr}, {"TOP", Pop3Command::top},
    {"DELE", Pop3Command::dele}, {"NOOP", Pop3Command::noop}, {"RSET", Pop3Command::rset},
    {"QUIT", Pop3Command::quit}, {"CAPA", Pop3Command::capa}, {"STLS", Pop3Command::stls},
};

}  // namespace

bool pop3MultiLine(Pop3Command command, bool withArgument) {
    switch (command) {
        case Pop3Command::retr:
        case Pop3Command::top:
        case Pop3Command::capa:
            return true;
        case Pop3Command::list:
        case Pop3Command::uidl:
            return !withArgument;
        default:
            return false;
    }
}

Pop3Command pop3CommandOf(std::string_view line, bool *withArgument) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    const std::size_t blank = line.find(' ');
    const std::string_view word = line.substr(0, blank);
    if (withArgument)
        *withArgument =
            blank != std::string_view::npos && !trimBlanks(line.substr(blank + 1)).empty();
    for (const CommandName &c : kCommands)
        if (equalNoCase(word, c.word)) return c.command;
    return Pop3Command::other;
}

void Pop3Reply::expect(Pop3Command command, bool withArgument, std::size_t maxBodyLine) {
    queue_.push_back(Expected{command, pop3MultiLine(command, withArgument), maxBodyLine});
}

void Pop3Reply::reset() {
    lines_.clear();
    lines_.setMaxLine(maxLine_);
    queue_.clear();
    inBody_ = inText_ = false;
    dot_ = dotCr_ = false;
    bodyBytes_ = 0;
}

// A message's text: runs of it as the chunk holds them, up to a line that begins with "." (which
// is taken off, or ends the text). Holds nothing but what it knows of the last bytes.
Pop3Reply::Piece Pop3Reply::nextText(std::string_view &chunk) {
    Piece p;
    p.command = current_;
    while (!chunk.empty()) {
        if (dotCr_) {
            dotCr_ = false;
            if (chunk.front() == '\n') {
                chunk.remove_prefix(1);
                ++bodyBytes_;
                inBody_ = inText_ = false;
                lines_.setMaxLine(maxLine_);
                p.kind = Piece::ended;
                return p;
            }
            // "." CR and no LF: the dot was stuffing, the CR is text.
            lineStart_ = false;
            lastCr_ = true;
            p.kind = Piece::run;
            p.text = "\r";
            return p;
        }
        if (dot_) {
            dot_ = false;
            lineStart_ = false;
            if (chunk.front() == '\r') {
                dotCr_ = true;
                chunk.remove_prefix(1);
                ++bodyBytes_;
            }
            continue;
        }
        if (lineStart_ && chunk.front() == '.') {
            dot_ = true;
            chunk.remove_prefix(1);
            ++bodyBytes_;
            continue;
        }
        lineStart_ = false;
        // The run goes up to the chunk's end, or to a line that begins with a dot.
        std::size_t at = 0;
        while (at < chunk.size()) {
            const void *lf = std::memchr(chunk.data() + at, '\n', chunk.size() - at);
            if (!lf) {
                at = chunk.size();
                break;
            }
            const std::size_t k = std::size_t(static_cast<const char *>(lf) - chunk.data());
            const bool crlf = k > 0 ? chunk[k - 1] == '\r' : lastCr_;
            at = k + 1;
            if (crlf && (at == chunk.size() || chunk[at] == '.')) {
                lineStart_ = true;
                break;
            }
        }
        p.kind = Piece::run;
        p.text = chunk.substr(0, at);
        lastCr_ = p.text.back() == '\r';
        bodyBytes_ += at;
        chunk.remove_prefix(at);
        return p;
    }
    return p;
}

Pop3Reply::Piece Pop3Reply::next(std::string_view &chunk) {
    if (inText_) return nextText(chunk);
    Piece p;
    const LineAssembler::Line l = lines_.next(chunk);
    if (l.kind == LineAssembler::Line::none) return p;
    if (l.kind == LineAssembler::Line::tooLong) {
        p.kind = Piece::tooLong;
        p.command = inBody_          ? current_
                    : queue_.empty() ? Pop3Command::other
                                     : queue_.front().command;
        return p;
    }
    if (inBody_) {
        bodyBytes_ += l.whole().size();
        p.command = current_;
        if (l.text == ".") {
            inBody_ = false;
            lines_.setMaxLine(maxLine_);
            p.kind = Piece::ended;
            return p;
        }
        p.kind = Piece::line;
        p.text = l.text.starts_with('.') ? l.text.substr(1) : l.text;
        p.end = l.end;
        return p;
    }
    const Expected e = queue_.empty() ? Expected{} : queue_.front();
    p.command = e.command;
    p.whole = l.text;
    const bool ok = startsNoCase(l.text, "+OK");
    if (e.command == Pop3Command::auth && !ok && l.text.starts_with('+')) {
        // The exchange goes on: the reply to the same AUTH is still to come.
        p.kind = Piece::continuation;
        p.text = l.text.substr(l.text.starts_with("+ ") ? 2 : 1);
        return p;
    }
    if (noise_ && !ok && !startsNoCase(l.text, "-ERR")) {
        p.kind = Piece::noise;
        return p;
    }
    if (!queue_.empty()) queue_.pop_front();
    p.kind = Piece::status;
    p.ok = ok;
    p.unknown = !ok && !startsNoCase(l.text, "-ERR");
    std::string_view text = p.unknown ? l.text : l.text.substr(ok ? 3 : 4);
    if (!p.unknown && text.starts_with(' ')) text.remove_prefix(1);
    p.text = text;
    p.multiLine = ok && e.multiLine;
    if (p.multiLine) {
        inBody_ = true;
        current_ = e.command;
        bodyBytes_ = 0;
        if (textRuns_ && (e.command == Pop3Command::retr || e.command == Pop3Command::top)) {
            inText_ = true;
            lineStart_ = true;
            lastCr_ = dot_ = dotCr_ = false;
        } else if (e.maxBodyLine) {
            lines_.setMaxLine(e.maxBodyLine);
        }
    }
    return p;
}

}  // namespace common
