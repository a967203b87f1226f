#include "morrent/pop3session.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "common/asciitext.h"

namespace morrent {

// What the reader gave: a status line (+OK or -ERR, in any case, only at the line's start), a line
// of a multi-line answer (un-stuffed), or the "." that ends one.
struct PopReply {
    enum Kind { status, line, end };
    Kind kind = status;
    bool ok = false;
    std::string_view text;  // status: the whole line; line: the line
};
enum class PopCommand : std::uint8_t { user, pass, capa, list, uidl, retr, dele, quit, stls };

namespace {

using Command = PopCommand;
using Reply = PopReply;

// The commands the engine sends, as they go on the wire: lower-case, "list " keeps its blank even
// without an argument. CAPA, LIST, UIDL and RETR are answered with several lines ending in "."
// (the capability, listing, unique-id listing and text phases read them); the others with one line.
struct CommandFact {
    Command command;
    std::string_view word;
};
constexpr CommandFact commandfacts[] = {
    {Command::user, "user "}, {Command::pass, "pass "}, {Command::capa, "capa"},
    {Command::list, "list "}, {Command::uidl, "uidl"},  {Command::retr, "retr "},
    {Command::dele, "dele "}, {Command::quit, "quit"},  {Command::stls, "stls"},
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
constexpr common::Pop3Command readerCommand(Command c) {
    switch (c) {
        case Command::user: return common::Pop3Command::user;
        case Command::pass: return common::Pop3Command::pass;
        case Command::capa: return common::Pop3Command::capa;
        case Command::list: return common::Pop3Command::list;
        case Command::uidl: return common::Pop3Command::uidl;
        case Command::retr: return common::Pop3Command::retr;
        case Command::dele: return common::Pop3Command::dele;
        case Command::quit: return common::Pop3Command::quit;
        case Command::stls: return common::Pop3Command::stls;
    }
    return common::Pop3Command::other;
}

// What each phase waits for: `begins` when entering it starts a new wait, with its own deadline
// (the other phases go on reading the answer their phase before began); `awaited` names it for
// the admin when it takes too long; `multiline` when the answer's size may stretch its deadline.
struct PhaseFact {
    Phase phase;
    const char *name;
    bool begins;
    bool multiline;
    const char *awaited;
};
constexpr PhaseFact phasefacts[] = {
    {Phase::greeting, "greeting", true, false, "its greeting"},
    {Phase::precapa, "precapa", true, false, "its answer to CAPA"},
    {Phase::precapalist, "precapalist", false, true, "its answer to CAPA"},
    {Phase::stls, "stls", true, false, "its answer to STLS"},
    {Phase::handshake, "handshake", true, false, "the TLS handshake"},
    {Phase::user, "user", true, false, "its answer to USER"},
    {Phase::pass, "pass", true, false, "its answer to PASS"},
    {Phase::capa, "capa", true, false, "its answer to CAPA"},
    {Phase::capalist, "capalist", false, true, "its answer to CAPA"},
    {Phase::list, "list", true, false, "its answer to LIST"},
    {Phase::listing, "listing", false, true, "its answer to LIST"},
    {Phase::uidl, "uidl", true, false, "its answer to UIDL"},
    {Phase::uidlisting, "uidlisting", false, true, "its answer to UIDL"},
    {Phase::retr, "retr", true, false, "its answer to RETR"},
    {Phase::text, "text", false, false, "its answer to RETR"},
    {Phase::delivering, "delivering", true, false, nullptr},
    {Phase::committing, "committing", true, false, nullptr},
    {Phase::deleting, "deleting", true, false, "its answers to DELE"},
    {Phase::quitting, "quitting", true, false, "its answer to QUIT"},
    {Phase::done, "done", true, false, nullptr},
};
constexpr bool phasesinorder() {
    for (int i = 0; i < int(std::size(phasefacts)); ++i)
        if (int(phasefacts[i].phase) != i) return false;
    return true;
}
static_assert(phasesinorder(), "phasefacts follows the order of Phase");

using common::equalNoCase;
using common::startsNoCase;

bool isok(const Reply &r) {
    return r.kind == Reply::status && r.ok;
}
bool iserr(const Reply &r) {
    return r.kind == Reply::status && !r.ok;
}

// Messages bigger than this keep their buffer between messages only if the next one needs it.
constexpr std::size_t keepcapacity = std::size_t(1) << 20;
// The longest unique id kept; RFC 1939 allows 70 characters.
constexpr std::size_t maxuid = 256;

// A decimal number of at most 18 digits, or -1.
std::int64_t number(std::string_view digits) {
    if (digits.empty() || digits.size() > 18) return -1;
    std::int64_t n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

std::uint64_t sizeinline(std::string_view line) {
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

std::string_view firstword(std::string_view line) {
    return line.substr(0, line.find(' '));
}

}  // namespace

const char *phasename(Phase phase) {
    return phasefacts[int(phase)].name;
}

namespace {

// "61 seconds", rounded up: a deadline is never shown shorter than it was.
std::string seconds(std::uint64_t ms) {
    const std::uint64_t s = (ms + 999) / 1000;
    return std::to_string(s) + (s == 1 ? " second" : " seconds");
}

}  // namespace

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
    reply_.reset();
    reply_.setNoise(true);
    reply_.setTextRuns(true);
    reply_.expect(common::Pop3Command::greeting);
    sizes_.clear();
    pipelining_ = uidsbroken_ = uidsknown_ = false;
    stlsoffered_ = false;
    // Even with POP3S, only once the handshake is done (tlsready).
    encrypted_ = false;
    textLimit_ = 0;
    answerBytes_ = 0;
    ++waitSerial_;
    uids_.clear();
    tofetch_.clear();
    nextfetch_ = 0;
    inflight_.clear();
    inflightbytes_ = 0;
    std::string().swap(pending_);
    pendingat_ = 0;
    fetchbytes_ = deliveredbytes_ = 0;
    delivered_ = 0;
    delesok_ = deleted_ = delesout_ = 0;
    delesent_ = false;
}

// The one place the phase changes; `why` names the transition. A phase that begins a new wait
// starts its deadline afresh.
void Pop3Session::enter(Phase next, const char *why) {
    phase_ = next;
    transition_ = why;
    if (phasefacts[int(next)].begins) {
        ++waitSerial_;
        answerBytes_ = 0;
    }
}

std::uint64_t Pop3Session::deadline() const {
    if (phase_ == Phase::done) return 0;
    // What the wait may carry: the listed size of the message coming in (or being delivered), or
    // what came so far of a capability or listing answer (each has a bound of its own, so no
    // server stretches a deadline for ever); a one-line answer has the base alone.
    std::uint64_t bytes = 0;
    if (phase_ == Phase::retr || phase_ == Phase::text)
        bytes = std::min<std::uint64_t>(listedsize(messagenumber()), maxmessage);
    else if (phase_ == Phase::delivering)
        bytes = msgbuf.size();
    else if (phasefacts[int(phase_)].multiline)
        bytes = answerBytes_;
    return deadlineBase + bytes * 1000 / std::max<std::uint64_t>(minimumRate, 1);
}

Actions Pop3Session::overdue() {
    Actions a;
    if (phase_ == Phase::done) return a;
    const std::string within = " within " + seconds(deadline());
    switch (phase_) {
        case Phase::delivering:
            failWith("delivery failed: message " + std::to_string(messagenumber()) +
                     " was not delivered" + within);
            break;
        case Phase::committing:
            failWith("delivery failed: the delivered messages were not made durable" + within);
            break;
        case Phase::quitting:
            // Without DELE nothing hangs on QUIT's answer.
            if (delesent_) failWith("the server did not finish its answer to QUIT" + within);
            break;
        default: {
            std::string what = phasefacts[int(phase_)].awaited;
            if (phase_ == Phase::retr || phase_ == Phase::text)
                what += " " + std::to_string(messagenumber());
            failWith("the server did not finish " + what + within);
            break;
        }
    }
    endNow(a, "deadline passed");
    return a;
}

void Pop3Session::send(Actions &a, Command command, std::string_view arg) {
    a.send.append(word(command));
    a.send.append(arg);
    a.send.append("\r\n");
    // The capability lines have a bound of their own: a real one is a few dozen bytes.
    reply_.expect(readerCommand(command), !arg.empty(),
                  command == Command::capa ? maxCapaLine : 0);
}

void Pop3Session::failWith(std::string why) {
    if (reason_.empty()) reason_ = std::move(why);
}

void Pop3Session::endNow(Actions &a, const char *why) {
    outcome_ = reason_.empty() ? Outcome::succeeded : Outcome::failed;
    a.close = true;
    a.ended = true;
    if (outcome_ == Outcome::failed) a.status = reason_;
    std::string().swap(msgbuf);
    std::string().swap(pending_);
    pendingat_ = 0;
    inflight_.clear();
    msgdone = false;
    enter(Phase::done, why);
}

void Pop3Session::sendquit(Actions &a, const char *why) {
    send(a, Command::quit);
    quitsent = true;
    enter(Phase::quitting, why);
}

std::uint64_t Pop3Session::listedsize(std::int32_t n) const {
    return n >= 1 && std::size_t(n) <= sizes_.size() ? sizes_[std::size_t(n) - 1] : 0;
}

std::string_view Pop3Session::messageuid() const {
    if (!uidsknown_ || inflight_.empty()) return {};
    return uids_[std::size_t(inflight_.front()) - 1];
}

Progress Pop3Session::progress() const {
    Progress p;
    p.messages = std::int32_t(tofetch_.size());
    p.delivered = delivered_;
    p.bytes = fetchbytes_;
    p.bytesdone = deliveredbytes_;
    if (phase_ == Phase::text || phase_ == Phase::delivering) p.bytesdone += msgbuf.size();
    p.bytesdone = std::min(p.bytesdone, p.bytes);
    return p;
}

std::string Pop3Session::summary() const {
    return std::to_string(delivered_) +
           (delivered_ == 1 ? " new message delivered, " : " new messages delivered, ") +
           std::to_string(deleted_) + " deleted" + (encrypted_ ? ", over TLS" : "");
}

// Asks for the next messages: one at a time, or as many as the pipeline's bounds allow. A message
// larger than the byte bound goes out alone. A pipeline still half full is left to drain first, so
// that the commands go out in groups rather than one write per message.
void Pop3Session::fillpipeline(Actions &a) {
    if (pipelining_ && inflight_.size() > pipelinecommands / 2 &&
        inflightbytes_ <= pipelinebytes / 2)
        return;
    while (nextfetch_ < tofetch_.size()) {
        const std::int32_t n = tofetch_[nextfetch_];
        const std::uint64_t size = listedsize(n);
        if (!inflight_.empty() &&
            (!pipelining_ || inflight_.size() >= pipelinecommands ||
             inflightbytes_ + size > pipelinebytes))
            break;
        send(a, Command::retr, std::to_string(n));
        inflight_.push_back(n);
        inflightbytes_ += size;
        ++nextfetch_;
    }
    msgnum = nextfetch_ < tofetch_.size() ? tofetch_[nextfetch_] : 0;
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
    std::size_t taken = 0;
    if (phase_ != Phase::delivering && phase_ != Phase::committing) taken = consume(a, chunk);
    if (taken < chunk.size()) keepordrop(chunk.substr(taken));
    return a;
}

// Reads replies until the bytes run out or the engine waits for the download (a delivery or the
// commit) or the session is over. Returns how many bytes it read. Whatever comes during the TLS
// handshake came in the clear after STLS's answer: it is not read.
std::size_t Pop3Session::consume(Actions &a, std::string_view chunk) {
    std::string_view rest = chunk;
    while (!rest.empty()) {
        if (phase_ == Phase::done || phase_ == Phase::delivering || phase_ == Phase::committing ||
            phase_ == Phase::handshake)
            break;
        const std::size_t before = rest.size();
        const common::Pop3Reply::Piece p = reply_.next(rest);
        answerBytes_ += before - rest.size();
        using K = common::Pop3Reply::Piece;
        const bool capability = phase_ == Phase::precapalist || phase_ == Phase::capalist;
        if (p.kind == K::tooLong) {
            failWith(std::string(capability ? "the server sent a capability line longer than "
                                            : "the server sent a line longer than ") +
                     std::to_string(capability ? maxCapaLine : maxline) + " bytes");
            endNow(a, "line too long");
            break;
        }
        if (capability && answerBytes_ > maxCapa) {
            failWith("the server's answer to CAPA is longer than " + std::to_string(maxCapa >> 10) +
                     " KiB");
            endNow(a, "capabilities too long");
            break;
        }
        if (phase_ == Phase::uidlisting && answerBytes_ > maxlisting) {
            failWith("the server's unique-id listing is longer than " +
                     std::to_string(maxlisting >> 20) + " MiB");
            endNow(a, "unique-id listing too long");
            break;
        }
        switch (p.kind) {
            case K::status:
                onReply(a, Reply{Reply::status, p.ok, p.whole});
                break;
            case K::line:
                onReply(a, Reply{Reply::line, false, p.text});
                break;
            case K::ended:
                if (phase_ == Phase::text)
                    finishMessage(a);
                else
                    onReply(a, Reply{Reply::end, false, {}});
                break;
            case K::run:
                if (phase_ == Phase::text) takeText(a, p.text);
                break;
            default:  // none (more bytes first), noise (no reply: ignored)
                break;
        }
    }
    return chunk.size() - rest.size();
}

// Bytes the engine could not read now. While a message is out for delivery, the replies to
// pipelined RETRs are kept for later; anything else answers nothing that was asked, and a stray
// piece of a line must not be glued to the next real reply either.
void Pop3Session::keepordrop(std::string_view rest) {
    if (phase_ == Phase::delivering && inflight_.size() > 1) {
        if (pendingat_ > 0 && pendingat_ * 2 >= pending_.size()) {
            pending_.erase(0, pendingat_);
            pendingat_ = 0;
        }
        pending_.append(rest);
        return;
    }
}

// Reads on in what was kept while the last message was out for delivery.
void Pop3Session::drain(Actions &a) {
    while (pendingat_ < pending_.size() && phase_ != Phase::delivering &&
           phase_ != Phase::committing && phase_ != Phase::done) {
        std::size_t n = consume(a, std::string_view(pending_).substr(pendingat_));
        if (n == 0) break;
        pendingat_ += n;
    }
    if (pendingat_ < pending_.size() && !(phase_ == Phase::delivering && inflight_.size() > 1)) {
        pendingat_ = pending_.size();
    }
    if (pendingat_ == pending_.size()) {
        pending_.clear();
        pendingat_ = 0;
    }
}

void Pop3Session::login(Actions &a, const char *why) {
    send(a, Command::user, curuser);
    usersent = true;
    enter(Phase::user, why);
}

// The capabilities before the login are read: STLS when offered, never the login in the clear
// when TLS is required.
void Pop3Session::secure(Actions &a) {
    if (stlsoffered_) {
        send(a, Command::stls);
        enter(Phase::stls, "STLS offered, STLS sent");
        return;
    }
    if (pinned) {
        // A pinned certificate is checked only under TLS: without it, anyone could answer.
        failWith("the server offers no STLS, and with tlsfingerprint set no login goes out in "
                 "the clear");
        sendquit(a, "no STLS with a pin, QUIT sent");
        return;
    }
    if (poptls == PopTls::require) {
        failWith("the server offers no STLS, and poptls=require sends no login in the clear");
        sendquit(a, "no STLS, QUIT sent");
        return;
    }
    login(a, "no STLS offered, USER sent");
}

Actions Pop3Session::tlsready() {
    Actions a;
    // POP3S: the connection is TLS before the server says a word.
    if (phase_ == Phase::greeting && implicittls) encrypted_ = true;
    if (phase_ != Phase::handshake) return a;
    encrypted_ = true;
    login(a, "TLS up, USER sent");
    return a;
}

void Pop3Session::onReply(Actions &a, const Reply &r) {
    const std::string_view line = r.text;
    // A -ERR before QUIT ends the session at once, without QUIT: nothing has been deleted, and
    // a server that refuses a command is not asked for anything more.
    auto refused = [&](const char *why) {
        failWith(serversaid(line));
        endNow(a, why);
    };
    switch (phase_) {
        case Phase::greeting:
            if (isok(r)) {
                if (encrypted_ || (poptls == PopTls::off && !pinned)) {
                    login(a, "greeting accepted, USER sent");
                    break;
                }
                // Whether the server offers STLS, before any word of the login.
                send(a, Command::capa);
                enter(Phase::precapa, "greeting accepted, CAPA sent");
            } else if (iserr(r)) {
                refused("greeting refused");
            }
            break;
        case Phase::precapa:
            if (isok(r)) {
                enter(Phase::precapalist, "CAPA accepted, reading the capabilities");
            } else if (iserr(r)) {
                secure(a);
            }
            break;
        case Phase::precapalist:
            if (r.kind == Reply::end)
                secure(a);
            else if (equalNoCase(firstword(line), "STLS"))
                stlsoffered_ = true;
            break;
        case Phase::stls:
            if (isok(r)) {
                // Whatever followed the answer in the clear is not the server's to say.
                reply_.reset();
                a.starttls = true;
                enter(Phase::handshake, "STLS accepted, TLS handshake");
                return;
            } else if (iserr(r)) {
                // Once STLS is offered, it must work: never a fall-back to the clear.
                failWith(serversaid(line) + " (to STLS)");
                endNow(a, "STLS refused");
            }
            break;
        case Phase::handshake:
            break;
        case Phase::user:
            if (isok(r)) {
                send(a, Command::pass, curpass);
                passsent = true;
                enter(Phase::pass, "USER accepted, PASS sent");
            } else if (iserr(r)) {
                refused("USER refused");
            }
            break;
        case Phase::pass:
            if (isok(r)) {
                send(a, Command::capa);
                enter(Phase::capa, "logged in, CAPA sent");
            } else if (iserr(r)) {
                refused("PASS refused");
            }
            break;
        case Phase::capa:
            // A server of RFC 1939 alone does not know CAPA: it just offers nothing more.
            if (isok(r) || iserr(r)) {
                if (isok(r)) {
                    enter(Phase::capalist, "CAPA accepted, reading the capabilities");
                    break;
                }
                send(a, Command::list);
                listsent = true;
                enter(Phase::list, "CAPA refused, LIST sent");
            }
            break;
        case Phase::capalist:
            if (r.kind == Reply::end) {
                send(a, Command::list);
                listsent = true;
                enter(Phase::list, "capabilities read, LIST sent");
            } else if (equalNoCase(firstword(line), "PIPELINING")) {
                pipelining_ = true;
            }
            break;
        case Phase::list:
            if (isok(r)) {
                listok = true;
                enter(Phase::listing, "LIST accepted, reading the listing");
            } else if (iserr(r)) {
                refused("LIST refused");
            }
            break;
        case Phase::listing:
            if (r.kind == Reply::end) {
                countlisting(a);
            } else if (listbuf.size() + line.size() + 2 > maxlisting) {
                failWith("the server's message listing is longer than " +
                         std::to_string(maxlisting >> 20) + " MiB");
                endNow(a, "listing too long");
            } else {
                listbuf.append(line);
                listbuf.append("\r\n");
            }
            break;
        case Phase::uidl:
            if (isok(r)) {
                uids_.assign(std::size_t(msgtotal), std::string());
                enter(Phase::uidlisting, "UIDL accepted, reading the unique ids");
            } else if (iserr(r)) {
                a.note = "the server does not give unique ids (" + serversaid(line) +
                         "): every message is fetched, also those delivered before";
                choose(a);
            }
            break;
        case Phase::uidlisting:
            if (r.kind == Reply::end) {
                uidsknown_ = !uidsbroken_;
                for (const auto &uid : uids_) uidsknown_ = uidsknown_ && !uid.empty();
                if (!uidsknown_) {
                    uids_.clear();
                    a.note =
                        "the server's list of unique ids is unusable: every message is fetched, "
                        "also those delivered before";
                }
                choose(a);
            } else {
                readuidlisting(line);
            }
            break;
        case Phase::retr:
            if (isok(r)) {
                msgbuf.clear();
                // The listed size, and a little more: a server may add a final line end.
                const std::uint64_t size = listedsize(inflight_.front());
                if (size <= maxmessage) msgbuf.reserve(std::size_t(size) + 256);
                // The text may outgrow the listed size, but not by much: a server that lists
                // the size with bare LF line ends sends CR LF (at most twice as many bytes), and
                // may add a few headers of its own (Status:, X-UIDL:). Dot-stuffing is already
                // taken off here. More than that is no honest message.
                textLimit_ = std::min<std::uint64_t>(2 * std::min<std::uint64_t>(size, maxmessage) +
                                                         retrMargin,
                                                     maxmessage);
                enter(Phase::text, "RETR accepted, reading the message");
            } else if (iserr(r)) {
                refused("RETR refused");
            }
            break;
        case Phase::deleting:
            if (isok(r) || iserr(r)) {
                // A refused DELE leaves that message on the server: the session has failed, but
                // QUIT is already out and commits the others.
                if (iserr(r)) failWith(serversaid(line));
                if (isok(r)) ++delesok_;
                if (--delesout_ == 0) {
                    deleting = false;
                    enter(Phase::quitting, "DELE answered, waiting for QUIT's answer");
                }
            }
            break;
        case Phase::quitting:
            if (isok(r) || iserr(r)) {
                if (iserr(r)) failWith(serversaid(line));
                if (isok(r)) deleted_ = delesok_;
                endNow(a, "QUIT answered");
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
        sizes_.push_back(sizeinline(rest.substr(0, end)));
        ++count;
        rest.remove_prefix(end + 2);
    }
    msgtotal = msgnum = count;
    counted = true;
    if (count == 0) {
        uidsknown_ = true;  // and none is on the server
        sendquit(a, "empty mailbox, QUIT sent");
        return;
    }
    if (!deleteafter) {
        send(a, Command::uidl);
        enter(Phase::uidl, "listing counted, UIDL sent");
        return;
    }
    choose(a);
}

// "N UID": the unique id of message N. A line that does not fit makes the whole listing unusable.
void Pop3Session::readuidlisting(std::string_view line) {
    std::size_t blank = line.find(' ');
    std::int64_t n = number(line.substr(0, blank));
    std::string_view uid =
        blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
    bool usable = n >= 1 && n <= msgtotal && !uid.empty() && uid.size() <= maxuid;
    for (char c : uid) usable = usable && c > ' ' && c < 0x7f;
    if (!usable || !uids_[std::size_t(n) - 1].empty()) {
        uidsbroken_ = true;
        return;
    }
    uids_[std::size_t(n) - 1] = std::string(uid);
}

// Which messages this session fetches: every one, from the highest number down, but those already
// delivered when their ids are known.
void Pop3Session::choose(Actions &a) {
    tofetch_.clear();
    fetchbytes_ = 0;
    for (std::int32_t n = msgtotal; n >= 1; --n) {
        if (uidsknown_ && seenuids.count(uids_[std::size_t(n) - 1])) continue;
        tofetch_.push_back(n);
        fetchbytes_ += listedsize(n);
    }
    nextfetch_ = 0;
    if (tofetch_.empty()) {
        msgnum = 0;
        sendquit(a, "nothing new, QUIT sent");
        return;
    }
    fillpipeline(a);
    enter(Phase::retr, "messages chosen, RETR sent");
}

// A run of message text, un-stuffed by the reader. The text may not outgrow its bound.
void Pop3Session::takeText(Actions &a, std::string_view run) {
    if (msgbuf.size() + run.size() > textLimit_) {
        const std::string number = std::to_string(messagenumber());
        if (textLimit_ == maxmessage)
            failWith("message " + number + " is larger than " + std::to_string(maxmessage >> 20) +
                     " MiB");
        else
            failWith("message " + number + " is longer than the " +
                     std::to_string(listedsize(messagenumber())) +
                     " bytes the server listed for it (more than " + std::to_string(textLimit_) +
                     " came)");
        endNow(a, "message too large");
        return;
    }
    if (msgbuf.size() + run.size() > msgbuf.capacity()) {
        // Grow by a quarter, not by doubling: a big message then costs little more than its own
        // size.
        const std::size_t cap = msgbuf.capacity();
        msgbuf.reserve(std::max({msgbuf.size() + run.size(), cap + cap / 4, std::size_t(4096)}));
    }
    msgbuf.append(run);
}

void Pop3Session::finishMessage(Actions &a) {
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
    const std::int32_t n = inflight_.front();
    inflight_.pop_front();
    inflightbytes_ -= std::min(inflightbytes_, listedsize(n));
    msgdone = false;
    if (msgbuf.capacity() > keepcapacity)
        std::string().swap(msgbuf);
    else
        msgbuf.clear();
    if (!ok) {
        failWith("delivery failed: " + std::string(reason));
        a.status = reason_;
        sendquit(a, "delivery failed, QUIT sent");
        // Replies to pipelined RETRs come before QUIT's; nothing waits on it, as nothing was
        // deleted.
        if (!inflight_.empty()) endNow(a, "delivery failed, QUIT sent behind pipelined RETRs");
        return a;
    }
    ++delivered_;
    deliveredbytes_ += listedsize(n);
    a.status = "downloaded number " + std::to_string(n) + " of " + std::to_string(msgtotal);
    if (inflight_.empty() && nextfetch_ == tofetch_.size()) {
        a.commit = true;
        enter(Phase::committing, "every message delivered, committing");
        return a;
    }
    fillpipeline(a);
    enter(Phase::retr, a.send.empty() ? "delivered, reading the next reply" : "delivered, RETR sent");
    drain(a);
    return a;
}

Actions Pop3Session::committed(bool ok, std::string_view reason) {
    Actions a;
    if (phase_ != Phase::committing) return a;
    if (!ok) {
        failWith("delivery failed: " + std::string(reason));
        a.status = reason_;
        sendquit(a, "commit failed, QUIT sent");
        return a;
    }
    if (!deleteafter) {
        sendquit(a, "committed, QUIT sent");
        return a;
    }
    for (std::int32_t n = 1; n <= msgtotal; ++n) send(a, Command::dele, std::to_string(n));
    send(a, Command::quit);
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
            failWith("delivery failed: no answer from the mail service for 30 seconds");
            break;
        case Phase::quitting:
            // Without DELE nothing hangs on QUIT's answer.
            if (delesent_) failWith("no answer from the server for 30 seconds");
            break;
        default:
            failWith("no answer from the server for 30 seconds");
            break;
    }
    endNow(a, "timed out");
    return a;
}

Actions Pop3Session::disconnect(std::string_view why) {
    Actions a;
    if (phase_ == Phase::done) {
        a.close = true;
        return a;
    }
    failWith(std::string(why));
    endNow(a, "disconnected");
    return a;
}

bool Pop3Session::finishing() const {
    return phase_ == Phase::committing || phase_ == Phase::deleting || phase_ == Phase::quitting;
}

Actions Pop3Session::serverclosed() {
    Actions a;
    switch (phase_) {
        case Phase::done:
            a.close = true;
            return a;
        case Phase::quitting:
        case Phase::deleting:
            if (delesent_) failWith("the server closed the connection before answering QUIT");
            break;
        default:
            failWith("the server closed the connection");
            break;
    }
    endNow(a, "server closed");
    return a;
}

Actions Pop3Session::abandon(std::string_view why) {
    Actions a;
    if (phase_ == Phase::done) return a;
    failWith(std::string(why));
    endNow(a, "could not start");
    return a;
}

Actions Pop3Session::socketerror(std::string_view description) {
    Actions a;
    if (phase_ == Phase::done) return a;
    failWith("connection failed: " + std::string(description));
    endNow(a, "socket error");
    return a;
}

}  // namespace morrent
