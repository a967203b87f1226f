#include "morrent/pop3session.h"

#include "common/asciitext.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace morrent {

namespace {

// The commands the engine sends, as they go on the wire: lower-case, "list " keeps its blank even
// without an argument. LIST and RETR are answered with several lines ending in "." (the listing
// and text phases read them); the others with one line.
enum class Command { user, pass, list, retr, dele, quit };
struct CommandFact {
    Command command;
    std::string_view word;
};
constexpr CommandFact commandfacts[] = {
    {Command::user, "user "}, {Command::pass, "pass "}, {Command::list, "list "},
    {Command::retr, "retr "}, {Command::dele, "dele "}, {Command::quit, "quit"},
};
constexpr bool inorder() {
    for (int i = 0; i < int(std::size(commandfacts)); ++i)
        if (int(commandfacts[i].command) != i) return false;
    return true;
}
static_assert(inorder(), "commandfacts follows the order of Command");
constexpr std::string_view word(Command c) {
    return commandfacts[int(c)].word;
}

struct PhaseFact {
    Phase phase;
    const char *name;
};
constexpr PhaseFact phasefacts[] = {
    {Phase::greeting, "greeting"},
    {Phase::user, "user"},
    {Phase::pass, "pass"},
    {Phase::list, "list"},
    {Phase::listing, "listing"},
    {Phase::retr, "retr"},
    {Phase::text, "text"},
    {Phase::delivering, "delivering"},
    {Phase::committing, "committing"},
    {Phase::deleting, "deleting"},
    {Phase::quitting, "quitting"},
    {Phase::done, "done"},
};

// A reply is recognised by its first characters, in any case ("+OK", "+ok", "+Ok"...).
bool isok(std::string_view line) {
    return common::startsNoCase(line, "+ok");
}
bool iserr(std::string_view line) {
    return common::startsNoCase(line, "-err");
}

// Messages bigger than this keep their buffer between messages only if the next one needs it.
constexpr std::size_t keepcapacity = std::size_t(1) << 20;

std::uint64_t listedsize(std::string_view line) {
    // "N SIZE": the second word, when it is a number.
    auto blank = line.find(' ');
    if (blank == std::string_view::npos) return 0;
    std::uint64_t size = 0;
    bool any = false;
    for (char c : line.substr(blank + 1)) {
        if (c < '0' || c > '9') break;
        if (size > (std::uint64_t(1) << 50)) return 0;
        size = size * 10 + std::uint64_t(c - '0');
        any = true;
    }
    return any ? size : 0;
}

}  // namespace

const char *phasename(Phase phase) {
    return phasefacts[int(phase)].name;
}

void Pop3Session::resetsession() {
    usersent = passsent = listsent = listok = counted = msgdone = false;
    deleting = quitsent = false;
    listbuf.clear();
    msgtotal = msgnum = 0;
    std::string().swap(msgbuf);
    phase_ = Phase::greeting;
    outcome_ = Outcome::running;
    reason_.clear();
    transition_ = "new session";
    line_.clear();
    sizes_.clear();
    delesout_ = 0;
    delesent_ = false;
    linestart_ = true;
    dot_ = dotcr_ = false;
}

// The one place the phase changes; `why` names the transition.
void Pop3Session::enter(Phase next, const char *why) {
    phase_ = next;
    transition_ = why;
}

void Pop3Session::send(Actions &a, std::string_view w, std::string_view arg) {
    a.send.append(w);
    a.send.append(arg);
    a.send.append("\r\n");
}

void Pop3Session::failwith(std::string why) {
    if (reason_.empty()) reason_ = std::move(why);
}

void Pop3Session::endnow(Actions &a, const char *why) {
    outcome_ = reason_.empty() ? Outcome::succeeded : Outcome::failed;
    a.close = true;
    a.ended = true;
    if (outcome_ == Outcome::failed) a.status = reason_;
    std::string().swap(msgbuf);
    msgdone = false;
    enter(Phase::done, why);
}

void Pop3Session::sendquit(Actions &a, const char *why) {
    send(a, word(Command::quit));
    quitsent = true;
    enter(Phase::quitting, why);
}

void Pop3Session::sendretr(Actions &a) {
    send(a, word(Command::retr), std::to_string(msgnum));
    msgnum -= 1;
    msgbuf.clear();
    msgdone = false;
    enter(Phase::retr, "RETR sent");
}

std::string Pop3Session::serversaid(std::string_view line) const {
    std::string text = "server said: " + common::replytext(line);
    // A server that repeats the password in its answer must not put it on the screen.
    if (curpass.size() >= 4) {
        for (auto at = text.find(curpass); at != std::string::npos; at = text.find(curpass, at + 3))
            text.replace(at, curpass.size(), "***");
    }
    return text;
}

Actions Pop3Session::feed(std::string_view chunk) {
    Actions a;
    std::size_t i = 0;
    while (i < chunk.size() && phase_ != Phase::done) {
        if (phase_ == Phase::text) {
            i += taketext(a, chunk.substr(i));
            continue;
        }
        if (phase_ == Phase::delivering || phase_ == Phase::committing) {
            // Nothing was asked of the server, so nothing it says now is an answer; a stray piece
            // of a line must not be glued to the next real reply either.
            line_.clear();
            break;
        }
        std::string_view rest = chunk.substr(i);
        std::size_t nl = rest.find('\n');
        std::size_t take = nl == std::string_view::npos ? rest.size() : nl;
        if (line_.size() + take > maxline) {
            failwith("the server sent a line longer than " + std::to_string(maxline) + " bytes");
            endnow(a, "line too long");
            break;
        }
        if (nl == std::string_view::npos) {
            line_.append(rest);
            break;
        }
        i += nl + 1;
        std::string_view line = rest.substr(0, nl);
        if (!line_.empty()) {
            line_.append(line);
            line = line_;
        }
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        onstatusline(a, line);
        line_.clear();
    }
    return a;
}

void Pop3Session::onstatusline(Actions &a, std::string_view line) {
    // A -ERR before QUIT ends the session at once, without QUIT: nothing has been deleted, and
    // a server that refuses a command is not asked for anything more.
    auto refused = [&](const char *why) {
        failwith(serversaid(line));
        endnow(a, why);
    };
    switch (phase_) {
        case Phase::greeting:
            if (isok(line)) {
                send(a, word(Command::user), curuser);
                usersent = true;
                enter(Phase::user, "greeting accepted, USER sent");
            } else if (iserr(line)) {
                refused("greeting refused");
            }
            break;
        case Phase::user:
            if (isok(line)) {
                send(a, word(Command::pass), curpass);
                passsent = true;
                enter(Phase::pass, "USER accepted, PASS sent");
            } else if (iserr(line)) {
                refused("USER refused");
            }
            break;
        case Phase::pass:
            if (isok(line)) {
                send(a, word(Command::list));
                listsent = true;
                enter(Phase::list, "logged in, LIST sent");
            } else if (iserr(line)) {
                refused("PASS refused");
            }
            break;
        case Phase::list:
            if (isok(line)) {
                listok = true;
                enter(Phase::listing, "LIST accepted, reading the listing");
            } else if (iserr(line)) {
                refused("LIST refused");
            }
            break;
        case Phase::listing:
            if (line == ".") {
                countlisting(a);
            } else if (listbuf.size() + line.size() + 2 > maxlisting) {
                failwith("the server's message listing is longer than " +
                         std::to_string(maxlisting >> 20) + " MiB");
                endnow(a, "listing too long");
            } else {
                listbuf.append(line);
                listbuf.append("\r\n");
            }
            break;
        case Phase::retr:
            if (isok(line)) {
                linestart_ = true;
                dot_ = dotcr_ = false;
                std::size_t index = std::size_t(msgnum);  // msgnum + 1 is the message, 1-based
                // The listed size, and a little more: a server may add a final line end.
                if (index < sizes_.size() && sizes_[index] <= maxmessage)
                    msgbuf.reserve(std::size_t(sizes_[index]) + 256);
                enter(Phase::text, "RETR accepted, reading the message");
            } else if (iserr(line)) {
                refused("RETR refused");
            }
            break;
        case Phase::deleting:
            if (isok(line) || iserr(line)) {
                // A refused DELE leaves that message on the server: the session has failed, but
                // QUIT is already out and commits the others.
                if (iserr(line)) failwith(serversaid(line));
                if (--delesout_ == 0) {
                    deleting = false;
                    enter(Phase::quitting, "DELE answered, waiting for QUIT's answer");
                }
            }
            break;
        case Phase::quitting:
            if (isok(line) || iserr(line)) {
                if (iserr(line)) failwith(serversaid(line));
                endnow(a, "QUIT answered");
            }
            break;
        case Phase::delivering:
        case Phase::committing:
        case Phase::text:
        case Phase::done:
            break;
    }
}

void Pop3Session::countlisting(Actions &a) {
    std::int32_t count = 0;
    sizes_.clear();
    std::string_view rest = listbuf;
    while (!rest.empty()) {
        std::size_t end = rest.find("\r\n");
        sizes_.push_back(listedsize(rest.substr(0, end)));
        ++count;
        rest.remove_prefix(end + 2);
    }
    msgtotal = msgnum = count;
    counted = true;
    if (count == 0) {
        sendquit(a, "empty mailbox, QUIT sent");
        return;
    }
    sendretr(a);
    transition_ = "listing counted, RETR sent";
}

// Message text: lines are un-stuffed as they arrive ("." at a line start is dropped) and the line
// "." alone ends the message. Text goes straight into msgbuf; only the leading dot and a CR after
// it are held back across a chunk boundary. Returns how many bytes belong to the message.
std::size_t Pop3Session::taketext(Actions &a, std::string_view bytes) {
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        if (dotcr_) {
            dotcr_ = false;
            if (bytes[i] == '\n') {
                finishmessage(a);
                return i + 1;
            }
            msgbuf.push_back('\r');
            linestart_ = false;
            continue;
        }
        if (dot_) {
            dot_ = false;
            linestart_ = false;
            if (bytes[i] == '\r') {
                dotcr_ = true;
                ++i;
            }
            continue;
        }
        if (linestart_) {
            if (bytes[i] == '.') {
                dot_ = true;
                ++i;
                continue;
            }
            linestart_ = false;
        }
        const char *from = bytes.data() + i;
        const char *nl = static_cast<const char *>(std::memchr(from, '\n', n - i));
        std::size_t take = nl ? std::size_t(nl - from) + 1 : n - i;
        if (msgbuf.size() + take > maxmessage) {
            failwith("message " + std::to_string(messagenumber()) + " is larger than " +
                     std::to_string(maxmessage >> 20) + " MiB");
            endnow(a, "message too large");
            return n;
        }
        if (msgbuf.size() + take > msgbuf.capacity()) {
            // Grow by a quarter, not by doubling: a big message then costs little more than its
            // own size.
            std::size_t cap = msgbuf.capacity();
            msgbuf.reserve(std::max({msgbuf.size() + take, cap + cap / 4, std::size_t(4096)}));
        }
        msgbuf.append(from, take);
        i += take;
        // A line begins after CR LF only; a bare LF is part of the line.
        if (nl) linestart_ = msgbuf.size() >= 2 && msgbuf[msgbuf.size() - 2] == '\r';
    }
    return n;
}

void Pop3Session::finishmessage(Actions &a) {
    // One empty line before the end marker is taken as part of the marker.
    if (msgbuf.size() >= 4 && msgbuf.compare(msgbuf.size() - 4, 4, "\r\n\r\n") == 0)
        msgbuf.resize(msgbuf.size() - 2);
    msgdone = true;
    a.deliver = true;
    enter(Phase::delivering, "message complete, delivering");
}

Actions Pop3Session::delivered(bool ok, std::string_view reason) {
    Actions a;
    if (phase_ != Phase::delivering) return a;
    msgdone = false;
    if (msgbuf.capacity() > keepcapacity)
        std::string().swap(msgbuf);
    else
        msgbuf.clear();
    if (!ok) {
        failwith("delivery failed: " + std::string(reason));
        a.status = reason_;
        sendquit(a, "delivery failed, QUIT sent");
        return a;
    }
    a.status =
        "downloaded number " + std::to_string(msgnum + 1) + " of " + std::to_string(msgtotal);
    if (msgnum > 0) {
        sendretr(a);
        transition_ = "delivered, RETR sent";
    } else {
        a.commit = true;
        enter(Phase::committing, "every message delivered, committing");
    }
    return a;
}

Actions Pop3Session::committed(bool ok, std::string_view reason) {
    Actions a;
    if (phase_ != Phase::committing) return a;
    if (!ok) {
        failwith("delivery failed: " + std::string(reason));
        a.status = reason_;
        sendquit(a, "commit failed, QUIT sent");
        return a;
    }
    if (!deleteafter) {
        sendquit(a, "committed, QUIT sent");
        return a;
    }
    for (std::int32_t n = 1; n <= msgtotal; ++n) send(a, word(Command::dele), std::to_string(n));
    send(a, word(Command::quit));
    deleting = true;
    delesent_ = true;
    quitsent = true;
    delesout_ = msgtotal;
    enter(Phase::deleting, "committed, DELE and QUIT sent");
    return a;
}

Actions Pop3Session::timeout() {
    Actions a;
    switch (phase_) {
        case Phase::done:
            return a;
        case Phase::delivering:
        case Phase::committing:
            failwith("delivery failed: no answer from the mail service for 30 seconds");
            break;
        case Phase::quitting:
            // Without DELE nothing hangs on QUIT's answer.
            if (delesent_) failwith("no answer from the server for 30 seconds");
            break;
        default:
            failwith("no answer from the server for 30 seconds");
            break;
    }
    endnow(a, "timed out");
    return a;
}

Actions Pop3Session::disconnect() {
    Actions a;
    if (phase_ == Phase::done) {
        a.close = true;
        return a;
    }
    failwith("disconnected before the session ended");
    endnow(a, "disconnected");
    return a;
}

Actions Pop3Session::serverclosed() {
    Actions a;
    switch (phase_) {
        case Phase::done:
            a.close = true;
            return a;
        case Phase::quitting:
        case Phase::deleting:
            if (delesent_) failwith("the server closed the connection before answering QUIT");
            break;
        default:
            failwith("the server closed the connection");
            break;
    }
    endnow(a, "server closed");
    return a;
}

Actions Pop3Session::socketerror(std::string_view description) {
    Actions a;
    if (phase_ == Phase::done) return a;
    failwith("connection failed: " + std::string(description));
    endnow(a, "socket error");
    return a;
}

}  // namespace morrent
