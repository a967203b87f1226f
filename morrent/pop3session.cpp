#include "morrent/pop3session.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "common/asciitext.h"

namespace morrent {

namespace {

// The commands the engine sends, as they go on the wire: lower-case, "list " keeps its blank even
// without an argument. CAPA, LIST, UIDL and RETR are answered with several lines ending in "."
// (the capability, listing, unique-id listing and text phases read them); the others with one line.
enum class Command { user, pass, capa, list, uidl, retr, dele, quit, stls };
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

// A reply is recognised by its first characters, in any case ("+OK", "+ok", "+Ok"...).
bool isok(std::string_view line) {
    return startsNoCase(line, "+ok");
}
bool iserr(std::string_view line) {
    return startsNoCase(line, "-err");
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
    line_.clear();
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
    linestart_ = true;
    dot_ = dotcr_ = false;
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
            failwith("delivery failed: message " + std::to_string(messagenumber()) +
                     " was not delivered" + within);
            break;
        case Phase::committing:
            failwith("delivery failed: the delivered messages were not made durable" + within);
            break;
        case Phase::quitting:
            // Without DELE nothing hangs on QUIT's answer.
            if (delesent_) failwith("the server did not finish its answer to QUIT" + within);
            break;
        default: {
            std::string what = phasefacts[int(phase_)].awaited;
            if (phase_ == Phase::retr || phase_ == Phase::text)
                what += " " + std::to_string(messagenumber());
            failwith("the server did not finish " + what + within);
            break;
        }
    }
    endnow(a, "deadline passed");
    return a;
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
    std::string().swap(pending_);
    pendingat_ = 0;
    inflight_.clear();
    msgdone = false;
    enter(Phase::done, why);
}

void Pop3Session::sendquit(Actions &a, const char *why) {
    send(a, word(Command::quit));
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
        send(a, word(Command::retr), std::to_string(n));
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
// commit) or the session is over. Returns how many bytes it read.
std::size_t Pop3Session::consume(Actions &a, std::string_view chunk) {
    std::size_t i = 0;
    while (i < chunk.size()) {
        if (phase_ == Phase::done || phase_ == Phase::delivering || phase_ == Phase::committing)
            break;
        if (phase_ == Phase::text) {
            i += taketext(a, chunk.substr(i));
            continue;
        }
        std::string_view rest = chunk.substr(i);
        std::size_t nl = rest.find('\n');
        std::size_t take = nl == std::string_view::npos ? rest.size() : nl;
        const bool capability = phase_ == Phase::precapalist || phase_ == Phase::capalist;
        const std::size_t longest = capability ? maxCapaLine : maxline;
        if (line_.size() + take > longest) {
            failwith(std::string(capability ? "the server sent a capability line longer than "
                                            : "the server sent a line longer than ") +
                     std::to_string(longest) + " bytes");
            endnow(a, "line too long");
            break;
        }
        answerBytes_ += take + (nl == std::string_view::npos ? 0 : 1);
        if (capability && answerBytes_ > maxCapa) {
            failwith("the server's answer to CAPA is longer than " + std::to_string(maxCapa >> 10) +
                     " KiB");
            endnow(a, "capabilities too long");
            break;
        }
        if (phase_ == Phase::uidlisting && answerBytes_ > maxlisting) {
            failwith("the server's unique-id listing is longer than " +
                     std::to_string(maxlisting >> 20) + " MiB");
            endnow(a, "unique-id listing too long");
            break;
        }
        if (nl == std::string_view::npos) {
            line_.append(rest);
            i = chunk.size();
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
    return i;
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
    line_.clear();
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
        line_.clear();
    }
    if (pendingat_ == pending_.size()) {
        pending_.clear();
        pendingat_ = 0;
    }
}

void Pop3Session::login(Actions &a, const char *why) {
    send(a, word(Command::user), curuser);
    usersent = true;
    enter(Phase::user, why);
}

// The capabilities before the login are read: STLS when offered, never the login in the clear
// when TLS is required.
void Pop3Session::secure(Actions &a) {
    if (stlsoffered_) {
        send(a, word(Command::stls));
        enter(Phase::stls, "STLS offered, STLS sent");
        return;
    }
    if (pinned) {
        // A pinned certificate is checked only under TLS: without it, anyone could answer.
        failwith("the server offers no STLS, and with tlsfingerprint set no login goes out in "
                 "the clear");
        sendquit(a, "no STLS with a pin, QUIT sent");
        return;
    }
    if (poptls == PopTls::require) {
        failwith("the server offers no STLS, and poptls=require sends no login in the clear");
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
                if (encrypted_ || (poptls == PopTls::off && !pinned)) {
                    login(a, "greeting accepted, USER sent");
                    break;
                }
                // Whether the server offers STLS, before any word of the login.
                send(a, word(Command::capa));
                enter(Phase::precapa, "greeting accepted, CAPA sent");
            } else if (iserr(line)) {
                refused("greeting refused");
            }
            break;
        case Phase::precapa:
            if (isok(line)) {
                enter(Phase::precapalist, "CAPA accepted, reading the capabilities");
            } else if (iserr(line)) {
                secure(a);
            }
            break;
        case Phase::precapalist:
            if (line == ".")
                secure(a);
            else if (equalNoCase(firstword(line), "STLS"))
                stlsoffered_ = true;
            break;
        case Phase::stls:
            if (isok(line)) {
                // Whatever followed the answer in the clear is not the server's to say.
                line_.clear();
                a.starttls = true;
                enter(Phase::handshake, "STLS accepted, TLS handshake");
                return;
            } else if (iserr(line)) {
                // Once STLS is offered, it must work: never a fall-back to the clear.
                failwith(serversaid(line) + " (to STLS)");
                endnow(a, "STLS refused");
            }
            break;
        case Phase::handshake:
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
                send(a, word(Command::capa));
                enter(Phase::capa, "logged in, CAPA sent");
            } else if (iserr(line)) {
                refused("PASS refused");
            }
            break;
        case Phase::capa:
            // A server of RFC 1939 alone does not know CAPA: it just offers nothing more.
            if (isok(line) || iserr(line)) {
                if (isok(line)) {
                    enter(Phase::capalist, "CAPA accepted, reading the capabilities");
                    break;
                }
                send(a, word(Command::list));
                listsent = true;
                enter(Phase::list, "CAPA refused, LIST sent");
            }
            break;
        case Phase::capalist:
            if (line == ".") {
                send(a, word(Command::list));
                listsent = true;
                enter(Phase::list, "capabilities read, LIST sent");
            } else if (equalNoCase(firstword(line), "PIPELINING")) {
                pipelining_ = true;
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
        case Phase::uidl:
            if (isok(line)) {
                uids_.assign(std::size_t(msgtotal), std::string());
                enter(Phase::uidlisting, "UIDL accepted, reading the unique ids");
            } else if (iserr(line)) {
                a.note = "the server does not give unique ids (" + serversaid(line) +
                         "): every message is fetched, also those delivered before";
                choose(a);
            }
            break;
        case Phase::uidlisting:
            if (line == ".") {
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
            if (isok(line)) {
                linestart_ = true;
                dot_ = dotcr_ = false;
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
            } else if (iserr(line)) {
                refused("RETR refused");
            }
            break;
        case Phase::deleting:
            if (isok(line) || iserr(line)) {
                // A refused DELE leaves that message on the server: the session has failed, but
                // QUIT is already out and commits the others.
                if (iserr(line)) failwith(serversaid(line));
                if (isok(line)) ++delesok_;
                if (--delesout_ == 0) {
                    deleting = false;
                    enter(Phase::quitting, "DELE answered, waiting for QUIT's answer");
                }
            }
            break;
        case Phase::quitting:
            if (isok(line) || iserr(line)) {
                if (iserr(line)) failwith(serversaid(line));
                if (isok(line)) deleted_ = delesok_;
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
        send(a, word(Command::uidl));
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
        if (msgbuf.size() + take > textLimit_) {
            const std::string number = std::to_string(messagenumber());
            if (textLimit_ == maxmessage)
                failwith("message " + number + " is larger than " +
                         std::to_string(maxmessage >> 20) + " MiB");
            else
                failwith("message " + number + " is longer than the " +
                         std::to_string(listedsize(messagenumber())) +
                         " bytes the server listed for it (more than " +
                         std::to_string(textLimit_) + " came)");
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
    const std::int32_t n = inflight_.front();
    inflight_.pop_front();
    inflightbytes_ -= std::min(inflightbytes_, listedsize(n));
    msgdone = false;
    if (msgbuf.capacity() > keepcapacity)
        std::string().swap(msgbuf);
    else
        msgbuf.clear();
    if (!ok) {
        failwith("delivery failed: " + std::string(reason));
        a.status = reason_;
        sendquit(a, "delivery failed, QUIT sent");
        // Replies to pipelined RETRs come before QUIT's; nothing waits on it, as nothing was
        // deleted.
        if (!inflight_.empty()) endnow(a, "delivery failed, QUIT sent behind pipelined RETRs");
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

Actions Pop3Session::disconnect(std::string_view why) {
    Actions a;
    if (phase_ == Phase::done) {
        a.close = true;
        return a;
    }
    failwith(std::string(why));
    endnow(a, "disconnected");
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
            if (delesent_) failwith("the server closed the connection before answering QUIT");
            break;
        default:
            failwith("the server closed the connection");
            break;
    }
    endnow(a, "server closed");
    return a;
}

Actions Pop3Session::abandon(std::string_view why) {
    Actions a;
    if (phase_ == Phase::done) return a;
    failwith(std::string(why));
    endnow(a, "could not start");
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
