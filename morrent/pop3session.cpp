#include "morrent/pop3session.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include <openssl/evp.h>

#include "common/asciitext.h"
#include "common/base64.h"

namespace morrent {

// What the reader gave: a status line (+OK or -ERR, in any case, only at the line's start), a line
// of a multi-line answer (un-stuffed), or the "." that ends one.
struct PopReply {
    enum Kind { status, line, end };
    Kind kind = status;
    bool ok = false;
    std::string_view text;  // status: the whole line; line: the line
};
enum class PopCommand : std::uint8_t { user, pass, capa, list, uidl, retr, dele, quit, stls, auth, apop, line };

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
constexpr CommandFact commandFacts[] = {
    {Command::user, "user "}, {Command::pass, "pass "}, {Command::capa, "capa"},
    {Command::list, "list "}, {Command::uidl, "uidl"},  {Command::retr, "retr "},
    {Command::dele, "dele "}, {Command::quit, "quit"},  {Command::stls, "stls"},
    {Command::auth, "auth "}, {Command::apop, "apop "}, {Command::line, ""},
};
constexpr bool inOrder() {
    for (int i = 0; i < int(std::size(commandFacts)); ++i)
        if (int(commandFacts[i].command) != i) return false;
    return true;
}
static_assert(inOrder(), "commandFacts follows the order of Command");
constexpr std::string_view word(Command c) {
    return commandFacts[int(c)].word;
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
        case Command::auth: return common::Pop3Command::auth;
        case Command::apop: return common::Pop3Command::apop;
        case Command::line: return common::Pop3Command::other;
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
constexpr PhaseFact phaseFacts[] = {
    {Phase::greeting, "greeting", true, false, "its greeting"},
    {Phase::precapa, "precapa", true, false, "its answer to CAPA"},
    {Phase::precapalist, "precapalist", false, true, "its answer to CAPA"},
    {Phase::stls, "stls", true, false, "its answer to STLS"},
    {Phase::handshake, "handshake", true, false, "the TLS handshake"},
    {Phase::user, "user", true, false, "its answer to USER"},
    {Phase::pass, "pass", true, false, "its answer to PASS"},
    {Phase::auth, "auth", true, false, "its answer to AUTH"},
    {Phase::apop, "apop", true, false, "its answer to APOP"},
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
constexpr bool phasesInOrder() {
    for (int i = 0; i < int(std::size(phaseFacts)); ++i)
        if (int(phaseFacts[i].phase) != i) return false;
    return true;
}
static_assert(phasesInOrder(), "phaseFacts follows the order of Phase");

using common::equalNoCase;
using common::startsNoCase;

bool isok(const Reply &r) {
    return r.kind == Reply::status && r.ok;
}
bool iserr(const Reply &r) {
    return r.kind == Reply::status && !r.ok;
}

// Messages bigger than this keep their buffer between messages only if the next one needs it.
constexpr std::size_t keepCapacity = std::size_t(1) << 20;
// The longest unique id kept; RFC 1939 allows 70 characters.
constexpr std::size_t maxUid = 256;

// A decimal number of at most 18 digits, or -1.
std::int64_t number(std::string_view digits) {
    if (digits.empty() || digits.size() > 18) return -1;
    std::int64_t n = 0;
    for (char c : digits) {
        if (!common::isAsciiDigit(c)) return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

std::uint64_t sizeInLine(std::string_view line) {
    // "N SIZE": the second word, when it is a number.
    auto blank = line.find(' ');
    if (blank == std::string_view::npos) return 0;
    std::uint64_t size = 0;
    bool any = false;
    for (char c : line.substr(blank + 1)) {
        if (!common::isAsciiDigit(c)) break;
        if (size > (std::uint64_t(1) << 50)) return 0;
        size = size * 10 + std::uint64_t(c - '0');
        any = true;
    }
    return any ? size : 0;
}

std::string_view firstWord(std::string_view line) {
    return line.substr(0, line.find(' '));
}

}  // namespace

namespace {
constexpr std::pair<PopAuth, std::string_view> popAuthNames[] = {
    {PopAuth::automatic, "auto"},      {PopAuth::plain, "plain"},     {PopAuth::user, "user"},
    {PopAuth::oauthbearer, "oauthbearer"}, {PopAuth::xoauth2, "xoauth2"}, {PopAuth::apop, "apop"},
};
}  // namespace

common::Result<PopAuth> parsePopAuth(std::string_view text) {
    const std::string_view word = common::trimWhitespace(text);
    if (word.empty()) return PopAuth::automatic;
    for (const auto &[auth, name] : popAuthNames)
        if (equalNoCase(word, name)) return auth;
    return common::fail("not auto, plain, user, oauthbearer, xoauth2 or apop: " + common::replytext(word));
}

const char *popAuthName(PopAuth auth) {
    switch (auth) {
        case PopAuth::automatic: return "auto";
        case PopAuth::plain: return "PLAIN";
        case PopAuth::user: return "USER";
        case PopAuth::oauthbearer: return "OAUTHBEARER";
        case PopAuth::xoauth2: return "XOAUTH2";
        case PopAuth::apop: return "APOP";
    }
    return "";
}

namespace {

// The string or number that `key` has at the top of a JSON object; nullopt when it has none that
// reads plainly. Enough for the two words a SASL error carries, and bounded by its text.
std::optional<std::string> jsonValue(std::string_view json, std::string_view key) {
    std::size_t at = 0;
    auto skip = [&] {
        while (at < json.size() && (json[at] == ' ' || json[at] == '\t' || json[at] == '\r' || json[at] == '\n')) ++at;
    };
    auto string = [&]() -> std::optional<std::string> {
        if (at >= json.size() || json[at] != '"') return std::nullopt;
        std::string out;
        for (++at; at < json.size(); ++at) {
            const char c = json[at];
            if (c == '"') {
                ++at;
                return out;
            }
            if (c == '\\') {
                if (++at >= json.size()) return std::nullopt;
                const char e = json[at];
                out += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'u' ? '?' : e;
                if (e == 'u') at += 4;
                continue;
            }
            out += c;
        }
        return std::nullopt;
    };
    skip();
    if (at >= json.size() || json[at] != '{') return std::nullopt;
    ++at;
    for (;;) {
        skip();
        const std::optional<std::string> name = string();
        if (!name) return std::nullopt;
        skip();
        if (at >= json.size() || json[at] != ':') return std::nullopt;
        ++at;
        skip();
        std::optional<std::string> value;
        if (at < json.size() && json[at] == '"') {
            value = string();
            if (!value) return std::nullopt;
        } else {
            const std::size_t from = at;
            while (at < json.size() && json[at] != ',' && json[at] != '}') ++at;
            std::string_view raw = common::trimBlanks(json.substr(from, at - from));
            // A nested object or list is no plain word: its inside is not read.
            if (raw.find_first_of("{[") != std::string_view::npos) return std::nullopt;
            value = std::string(raw);
        }
        if (*name == key) return value;
        skip();
        if (at >= json.size() || json[at] != ',') return std::nullopt;
        ++at;
    }
}

}  // namespace

std::string saslErrorText(std::string_view json) {
    std::string out;
    for (const char *key : {"status", "scope"}) {
        const std::optional<std::string> value = jsonValue(json.substr(0, 4096), key);
        if (!value || value->empty()) continue;
        if (!out.empty()) out += ", ";
        out += std::string(key) + " " + common::replytext(*value, 300);
    }
    return out;
}

const char *phaseName(Phase phase) {
    return phaseFacts[int(phase)].name;
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
    pipelining_ = uidsBroken_ = uidsKnown_ = false;
    stlsOffered_ = false;
    saslPlain_ = saslXoauth2_ = saslOauthbearer_ = false;
    using_ = PopAuth::user;
    saslPending_.clear();
    saslError_.clear();
    saslAnswered_ = false;
    apopStamp_.clear();
    // Even with POP3S, only once the handshake is done (tlsReady).
    encrypted_ = false;
    textLimit_ = 0;
    answerBytes_ = 0;
    ++waitSerial_;
    uids_.clear();
    toFetch_.clear();
    nextFetch_ = 0;
    inFlight_.clear();
    inFlightBytes_ = 0;
    std::string().swap(pending_);
    pendingAt_ = 0;
    fetchBytes_ = deliveredBytes_ = 0;
    delivered_ = 0;
    delesOk_ = deleted_ = delesOut_ = 0;
    deleSent_ = false;
}

// The one place the phase changes; `why` names the transition. A phase that begins a new wait
// starts its deadline afresh.
void Pop3Session::enter(Phase next, const char *why) {
    phase_ = next;
    transition_ = why;
    if (phaseFacts[int(next)].begins) {
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
        bytes = std::min<std::uint64_t>(listedSize(messageNumber()), maxMessage);
    else if (phase_ == Phase::delivering)
        bytes = msgbuf.size();
    else if (phaseFacts[int(phase_)].multiline)
        bytes = answerBytes_;
    return deadlineBase + bytes * 1000 / std::max<std::uint64_t>(minimumRate, 1);
}

Actions Pop3Session::overdue() {
    Actions a;
    if (phase_ == Phase::done) return a;
    const std::string within = " within " + seconds(deadline());
    switch (phase_) {
        case Phase::delivering:
            failWith("delivery failed: message " + std::to_string(messageNumber()) +
                     " was not delivered" + within);
            break;
        case Phase::committing:
            failWith("delivery failed: the delivered messages were not made durable" + within);
            break;
        case Phase::quitting:
            // Without DELE nothing hangs on QUIT's answer.
            if (deleSent_) failWith("the server did not finish its answer to QUIT" + within);
            break;
        default: {
            std::string what = phaseFacts[int(phase_)].awaited;
            if (phase_ == Phase::retr || phase_ == Phase::text)
                what += " " + std::to_string(messageNumber());
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
    // A line of a SASL exchange answers the AUTH still waiting for its reply.
    if (command == Command::line) return;
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
    pendingAt_ = 0;
    inFlight_.clear();
    msgdone = false;
    enter(Phase::done, why);
}

void Pop3Session::sendQuit(Actions &a, const char *why) {
    send(a, Command::quit);
    quitsent = true;
    enter(Phase::quitting, why);
}

std::uint64_t Pop3Session::listedSize(std::int32_t n) const {
    return n >= 1 && std::size_t(n) <= sizes_.size() ? sizes_[std::size_t(n) - 1] : 0;
}

std::string_view Pop3Session::messageUid() const {
    if (!uidsKnown_ || inFlight_.empty()) return {};
    return uids_[std::size_t(inFlight_.front()) - 1];
}

Progress Pop3Session::progress() const {
    Progress p;
    p.messages = std::int32_t(toFetch_.size());
    p.delivered = delivered_;
    p.bytes = fetchBytes_;
    p.bytesDone = deliveredBytes_;
    if (phase_ == Phase::text || phase_ == Phase::delivering) p.bytesDone += msgbuf.size();
    p.bytesDone = std::min(p.bytesDone, p.bytes);
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
void Pop3Session::fillPipeline(Actions &a) {
    if (pipelining_ && inFlight_.size() > pipelineCommands / 2 &&
        inFlightBytes_ <= pipelineBytes / 2)
        return;
    while (nextFetch_ < toFetch_.size()) {
        const std::int32_t n = toFetch_[nextFetch_];
        const std::uint64_t size = listedSize(n);
        if (!inFlight_.empty() &&
            (!pipelining_ || inFlight_.size() >= pipelineCommands ||
             inFlightBytes_ + size > pipelineBytes))
            break;
        send(a, Command::retr, std::to_string(n));
        inFlight_.push_back(n);
        inFlightBytes_ += size;
        ++nextFetch_;
    }
    msgnum = nextFetch_ < toFetch_.size() ? toFetch_[nextFetch_] : 0;
}

std::string Pop3Session::serverSaid(std::string_view line) const {
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
    if (taken < chunk.size()) keepOrDrop(chunk.substr(taken));
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
        if (phase_ == Phase::uidlisting && answerBytes_ > maxListing) {
            failWith("the server's unique-id listing is longer than " +
                     std::to_string(maxListing >> 20) + " MiB");
            endNow(a, "unique-id listing too long");
            break;
        }
        switch (p.kind) {
            case K::status:
                onReply(a, Reply{Reply::status, p.ok, p.whole});
                break;
            case K::continuation:
                if (phase_ == Phase::auth) onContinuation(a, p.text);
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
void Pop3Session::keepOrDrop(std::string_view rest) {
    if (phase_ == Phase::delivering && inFlight_.size() > 1) {
        if (pendingAt_ > 0 && pendingAt_ * 2 >= pending_.size()) {
            pending_.erase(0, pendingAt_);
            pendingAt_ = 0;
        }
        pending_.append(rest);
        return;
    }
}

// Reads on in what was kept while the last message was out for delivery.
void Pop3Session::drain(Actions &a) {
    while (pendingAt_ < pending_.size() && phase_ != Phase::delivering &&
           phase_ != Phase::committing && phase_ != Phase::done) {
        std::size_t n = consume(a, std::string_view(pending_).substr(pendingAt_));
        if (n == 0) break;
        pendingAt_ += n;
    }
    if (pendingAt_ < pending_.size() && !(phase_ == Phase::delivering && inFlight_.size() > 1)) {
        pendingAt_ = pending_.size();
    }
    if (pendingAt_ == pending_.size()) {
        pending_.clear();
        pendingAt_ = 0;
    }
}

// The way the session logs in (PopAuth): by the admin's choice, or the strongest the server
// offers that the session can use.
PopAuth Pop3Session::mechanism() const {
    if (popauth != PopAuth::automatic) return popauth;
    if (tokenGiven && saslOauthbearer_) return PopAuth::oauthbearer;
    if (tokenGiven && saslXoauth2_) return PopAuth::xoauth2;
    if (saslPlain_) return PopAuth::plain;
    return PopAuth::user;
}

void Pop3Session::login(Actions &a, const char *why) {
    using_ = mechanism();
    switch (using_) {
        case PopAuth::automatic:
        case PopAuth::user:
            send(a, Command::user, curuser);
            usersent = true;
            enter(Phase::user, why);
            return;
        case PopAuth::plain:
            // RFC 4616: no authorization identity, the login, the password.
            authenticate(a, "PLAIN", std::string(1, '\0') + curuser + '\0' + curpass, why);
            return;
        case PopAuth::xoauth2:
            authenticate(a, "XOAUTH2", "user=" + curuser + "\x01" "auth=Bearer " + curpass + "\x01\x01",
                         why);
            return;
        case PopAuth::oauthbearer: {
            // RFC 7628: a GS2 header naming the login (its "," and "=" escaped), then the token.
            std::string name;
            for (char c : curuser) name += c == ',' ? "=2C" : c == '=' ? "=3D" : std::string(1, c);
            authenticate(a, "OAUTHBEARER", "n,a=" + name + ",\x01" "auth=Bearer " + curpass + "\x01\x01",
                         why);
            return;
        }
        case PopAuth::apop: {
            if (apopStamp_.empty()) {
                failWith("the server's greeting offers no APOP (no <timestamp> in it), and "
                         "popauth=apop logs in no other way");
                sendQuit(a, "no APOP timestamp, QUIT sent");
                return;
            }
            // RFC 1939: the MD5 digest of the timestamp and the password, in lower-case hex.
            const std::string text = apopStamp_ + curpass;
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
            static constexpr char hex[] = "0123456789abcdef";
            std::string arg = curuser + " ";
            for (unsigned int i = 0; i < length; ++i) {
                arg += hex[digest[i] >> 4];
                arg += hex[digest[i] & 15];
            }
            send(a, Command::apop, arg);
            usersent = passsent = true;
            enter(Phase::apop, why);
            return;
        }
    }
}

// AUTH with the mechanism's first response (RFC 5034): on the command line when the line stays
// within POP3's 255 bytes, else sent at the server's first "+".
void Pop3Session::authenticate(Actions &a, const char *name, std::string response, const char *why) {
    std::string encoded = common::base64Encode(response);
    std::fill(response.begin(), response.end(), '\0');
    const std::string words = std::string(name) + " " + encoded;
    if (word(Command::auth).size() + words.size() + 2 <= 255) {
        send(a, Command::auth, words);
    } else {
        send(a, Command::auth, name);
        saslPending_ = std::move(encoded);
    }
    usersent = passsent = true;
    enter(Phase::auth, why);
}

// A "+" in the AUTH exchange: the server asks for the response held back, or (the response given)
// tells why it refuses, as RFC 7628's error JSON; the exchange is then finished with the
// mechanism's empty answer so that the refusal comes. Anything else is cancelled ("*").
void Pop3Session::onContinuation(Actions &a, std::string_view challenge) {
    if (!saslPending_.empty()) {
        send(a, Command::line, saslPending_);
        saslPending_.clear();
        return;
    }
    const bool oauth = using_ == PopAuth::oauthbearer || using_ == PopAuth::xoauth2;
    if (oauth && !saslAnswered_) {
        const std::optional<std::string> json = common::base64Decode(common::trimBlanks(challenge));
        if (json) saslError_ = saslErrorText(*json);
        saslAnswered_ = true;
        // RFC 7628: a single ^A; the hosted XOAUTH2 providers take an empty line.
        send(a, Command::line, using_ == PopAuth::oauthbearer ? "AQ==" : "");
        return;
    }
    saslError_ = "it asked for more than " + std::string(popAuthName(using_)) + " has to say";
    send(a, Command::line, "*");
}

void Pop3Session::readSasl(std::string_view mechanisms) {
    while (!mechanisms.empty()) {
        const std::size_t blank = mechanisms.find(' ');
        const std::string_view m = mechanisms.substr(0, blank);
        saslPlain_ |= equalNoCase(m, "PLAIN");
        saslXoauth2_ |= equalNoCase(m, "XOAUTH2");
        saslOauthbearer_ |= equalNoCase(m, "OAUTHBEARER");
        mechanisms = blank == std::string_view::npos ? std::string_view() : mechanisms.substr(blank + 1);
    }
}

// The capabilities before the login are read: STLS when offered, never the login in the clear
// when TLS is required.
void Pop3Session::secure(Actions &a) {
    if (encrypted_ || (poptls == PopTls::off && !pinned)) {
        login(a, "capabilities read, logging in");
        return;
    }
    if (stlsOffered_) {
        send(a, Command::stls);
        enter(Phase::stls, "STLS offered, STLS sent");
        return;
    }
    if (pinned) {
        // A pinned certificate is checked only under TLS: without it, anyone could answer.
        failWith("the server offers no STLS, and with tlsfingerprint set no login goes out in "
                 "the clear");
        sendQuit(a, "no STLS with a pin, QUIT sent");
        return;
    }
    if (poptls == PopTls::require) {
        failWith("the server offers no STLS, and poptls=require sends no login in the clear");
        sendQuit(a, "no STLS, QUIT sent");
        return;
    }
    login(a, "no STLS offered, logging in");
}

Actions Pop3Session::tlsReady() {
    Actions a;
    // POP3S: the connection is TLS before the server says a word.
    if (phase_ == Phase::greeting && implicitTls) encrypted_ = true;
    if (phase_ != Phase::handshake) return a;
    encrypted_ = true;
    if (popauth == PopAuth::automatic) {
        // RFC 2595: what was offered in the clear is forgotten; the mechanisms are asked afresh.
        stlsOffered_ = saslPlain_ = saslXoauth2_ = saslOauthbearer_ = false;
        send(a, Command::capa);
        enter(Phase::precapa, "TLS up, CAPA sent");
        return a;
    }
    login(a, "TLS up, logging in");
    return a;
}

void Pop3Session::onReply(Actions &a, const Reply &r) {
    const std::string_view line = r.text;
    // A -ERR before QUIT ends the session at once, without QUIT: nothing has been deleted, and
    // a server that refuses a command is not asked for anything more.
    auto refused = [&](const char *why) {
        failWith(serverSaid(line));
        endNow(a, why);
    };
    switch (phase_) {
        case Phase::greeting:
            if (isok(r)) {
                // RFC 1939: a greeting that offers APOP carries a <timestamp>.
                if (const std::size_t open = line.find('<'); open != std::string_view::npos) {
                    const std::size_t close = line.find('>', open);
                    if (close != std::string_view::npos) apopStamp_ = line.substr(open, close - open + 1);
                }
                if ((encrypted_ || (poptls == PopTls::off && !pinned)) && popauth != PopAuth::automatic) {
                    login(a, "greeting accepted, logging in");
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
            else if (equalNoCase(firstWord(line), "STLS"))
                stlsOffered_ = true;
            else if (equalNoCase(firstWord(line), "SASL"))
                readSasl(common::trimBlanks(line.substr(4)));
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
                failWith(serverSaid(line) + " (to STLS)");
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
        case Phase::apop:
            if (isok(r)) {
                send(a, Command::capa);
                enter(Phase::capa, "logged in, CAPA sent");
            } else if (iserr(r)) {
                refused(phase_ == Phase::pass ? "PASS refused" : "APOP refused");
            }
            break;
        case Phase::auth:
            if (isok(r)) {
                send(a, Command::capa);
                enter(Phase::capa, "logged in, CAPA sent");
            } else if (iserr(r)) {
                failWith(serverSaid(line) + " (to AUTH " + popAuthName(using_) +
                         (saslError_.empty() ? std::string() : ": " + saslError_) + ")");
                endNow(a, "AUTH refused");
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
            } else if (equalNoCase(firstWord(line), "PIPELINING")) {
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
                countListing(a);
            } else if (listbuf.size() + line.size() + 2 > maxListing) {
                failWith("the server's message listing is longer than " +
                         std::to_string(maxListing >> 20) + " MiB");
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
                // With deletion on, a good run empties the mailbox: the ids matter only after a
                // failed one, and a note at every run would bury that.
                if (!deleteAfter)
                    a.note = "the server does not give unique ids (" + serverSaid(line) +
                             "): every message is fetched, also those delivered before";
                choose(a);
            }
            break;
        case Phase::uidlisting:
            if (r.kind == Reply::end) {
                uidsKnown_ = !uidsBroken_;
                for (const auto &uid : uids_) uidsKnown_ = uidsKnown_ && !uid.empty();
                if (!uidsKnown_) {
                    uids_.clear();
                    if (!deleteAfter) a.note =
                        "the server's list of unique ids is unusable: every message is fetched, "
                        "also those delivered before";
                }
                choose(a);
            } else {
                readUidListing(line);
            }
            break;
        case Phase::retr:
            if (isok(r)) {
                msgbuf.clear();
                // The listed size, and a little more: a server may add a final line end.
                const std::uint64_t size = listedSize(inFlight_.front());
                if (size <= maxMessage) msgbuf.reserve(std::size_t(size) + 256);
                // The text may outgrow the listed size, but not by much: a server that lists
                // the size with bare LF line ends sends CR LF (at most twice as many bytes), and
                // may add a few headers of its own (Status:, X-UIDL:). Dot-stuffing is already
                // taken off here. More than that is no honest message.
                textLimit_ = std::min<std::uint64_t>(2 * std::min<std::uint64_t>(size, maxMessage) +
                                                         retrMargin,
                                                     maxMessage);
                enter(Phase::text, "RETR accepted, reading the message");
            } else if (iserr(r)) {
                refused("RETR refused");
            }
            break;
        case Phase::deleting:
            if (isok(r) || iserr(r)) {
                // A refused DELE leaves that message on the server: the session has failed, but
                // QUIT is already out and commits the others.
                if (iserr(r)) failWith(serverSaid(line));
                if (isok(r)) ++delesOk_;
                if (--delesOut_ == 0) {
                    deleting = false;
                    enter(Phase::quitting, "DELE answered, waiting for QUIT's answer");
                }
            }
            break;
        case Phase::quitting:
            if (isok(r) || iserr(r)) {
                if (iserr(r)) failWith(serverSaid(line));
                if (isok(r)) deleted_ = delesOk_;
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

void Pop3Session::countListing(Actions &a) {
    std::int32_t count = 0;
    sizes_.clear();
    std::string_view rest = listbuf;
    while (!rest.empty()) {
        std::size_t end = rest.find("\r\n");
        sizes_.push_back(sizeInLine(rest.substr(0, end)));
        ++count;
        rest.remove_prefix(end + 2);
    }
    msgtotal = msgnum = count;
    counted = true;
    if (count == 0) {
        uidsKnown_ = true;  // and none is on the server
        sendQuit(a, "empty mailbox, QUIT sent");
        return;
    }
    // The ids also with deletion on: a run that fails after some deliveries deletes nothing, and
    // the next one must not deliver those again.
    send(a, Command::uidl);
    enter(Phase::uidl, "listing counted, UIDL sent");
}

// "N UID": the unique id of message N. A line that does not fit makes the whole listing unusable.
void Pop3Session::readUidListing(std::string_view line) {
    std::size_t blank = line.find(' ');
    std::int64_t n = number(line.substr(0, blank));
    std::string_view uid =
        blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
    bool usable = n >= 1 && n <= msgtotal && !uid.empty() && uid.size() <= maxUid;
    for (char c : uid) usable = usable && c > ' ' && c < 0x7f;
    if (!usable || !uids_[std::size_t(n) - 1].empty()) {
        uidsBroken_ = true;
        return;
    }
    uids_[std::size_t(n) - 1] = std::string(uid);
}

// Which messages this session fetches: every one, from the highest number down, but those already
// delivered when their ids are known.
void Pop3Session::choose(Actions &a) {
    toFetch_.clear();
    fetchBytes_ = 0;
    for (std::int32_t n = msgtotal; n >= 1; --n) {
        if (uidsKnown_ && seenUids.count(uids_[std::size_t(n) - 1])) continue;
        toFetch_.push_back(n);
        fetchBytes_ += listedSize(n);
    }
    nextFetch_ = 0;
    if (toFetch_.empty()) {
        msgnum = 0;
        // Delivered by an earlier run that could not delete them: deleted now.
        if (deleteAfter) {
            a.commit = true;
            enter(Phase::committing, "nothing new, committing before DELE");
            return;
        }
        sendQuit(a, "nothing new, QUIT sent");
        return;
    }
    fillPipeline(a);
    enter(Phase::retr, "messages chosen, RETR sent");
}

// A run of message text, un-stuffed by the reader. The text may not outgrow its bound.
void Pop3Session::takeText(Actions &a, std::string_view run) {
    if (msgbuf.size() + run.size() > textLimit_) {
        const std::string number = std::to_string(messageNumber());
        if (textLimit_ == maxMessage)
            failWith("message " + number + " is larger than " + std::to_string(maxMessage >> 20) +
                     " MiB");
        else
            failWith("message " + number + " is longer than the " +
                     std::to_string(listedSize(messageNumber())) +
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
    const std::int32_t n = inFlight_.front();
    inFlight_.pop_front();
    inFlightBytes_ -= std::min(inFlightBytes_, listedSize(n));
    msgdone = false;
    if (msgbuf.capacity() > keepCapacity)
        std::string().swap(msgbuf);
    else
        msgbuf.clear();
    if (!ok) {
        failWith("delivery failed: " + std::string(reason));
        a.status = reason_;
        sendQuit(a, "delivery failed, QUIT sent");
        // Replies to pipelined RETRs come before QUIT's; nothing waits on it, as nothing was
        // deleted.
        if (!inFlight_.empty()) endNow(a, "delivery failed, QUIT sent behind pipelined RETRs");
        return a;
    }
    ++delivered_;
    deliveredBytes_ += listedSize(n);
    a.status = "downloaded number " + std::to_string(n) + " of " + std::to_string(msgtotal);
    if (inFlight_.empty() && nextFetch_ == toFetch_.size()) {
        a.commit = true;
        enter(Phase::committing, "every message delivered, committing");
        return a;
    }
    fillPipeline(a);
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
        sendQuit(a, "commit failed, QUIT sent");
        return a;
    }
    if (!deleteAfter) {
        sendQuit(a, "committed, QUIT sent");
        return a;
    }
    for (std::int32_t n = 1; n <= msgtotal; ++n) send(a, Command::dele, std::to_string(n));
    send(a, Command::quit);
    deleting = true;
    deleSent_ = true;
    quitsent = true;
    delesOut_ = msgtotal;
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
            if (deleSent_) failWith("no answer from the server for 30 seconds");
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

Actions Pop3Session::serverClosed() {
    Actions a;
    switch (phase_) {
        case Phase::done:
            a.close = true;
            return a;
        case Phase::quitting:
        case Phase::deleting:
            if (deleSent_) failWith("the server closed the connection before answering QUIT");
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

Actions Pop3Session::socketError(std::string_view description) {
    Actions a;
    if (phase_ == Phase::done) return a;
    failWith("connection failed: " + std::string(description));
    endNow(a, "socket error");
    return a;
}

}  // namespace morrent
