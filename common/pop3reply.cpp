#include "common/pop3reply.h"

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

void Pop3Reply::expect(Pop3Command command, bool withArgument) {
    queue_.push_back(Expected{command, pop3MultiLine(command, withArgument)});
}

Pop3Reply::Piece Pop3Reply::next(std::string_view &chunk) {
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
    const bool ok = startsNoCase(l.text, "+OK");
    if (e.command == Pop3Command::auth && !ok && l.text.starts_with('+')) {
        // The exchange goes on: the reply to the same AUTH is still to come.
        p.kind = Piece::continuation;
        p.text = l.text.substr(l.text.starts_with("+ ") ? 2 : 1);
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
    }
    return p;
}

}  // namespace common
