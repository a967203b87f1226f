#include "quessel/loginline.h"

#include "common/asciitext.h"
#include "common/hostport.h"

namespace quessel {

namespace {

constexpr std::string_view kCapaReply = "+OK capability list follows\r\nUSER\r\n.\r\n";
constexpr std::string_view kCapaTlsReply = "+OK capability list follows\r\nUSER\r\nSTLS\r\n.\r\n";
constexpr std::string_view kStlsReply = "+OK begin TLS negotiation\r\n";
constexpr std::string_view kNoStlsReply = "-ERR STLS is not offered here\r\n";
constexpr std::string_view kAlreadyTlsReply = "-ERR the connection is under TLS already\r\n";
constexpr std::string_view kTlsFirstReply =
    "-ERR this proxy takes no login in the clear: use STLS first\r\n";
constexpr std::string_view kQuitReply = "+OK\r\n";
constexpr std::string_view kUserFormReply =
    "-ERR log in as USERNAME|SERVER: your user name, \"|\", then your POP3 server\r\n";
constexpr std::string_view kLoginFirstReply = "-ERR log in first with USER USERNAME|SERVER\r\n";
constexpr std::string_view kTooLongReply = "-ERR line too long\r\n";
constexpr std::string_view kControlReply =
    "-ERR a login line may hold no NUL and no CR but the one before its LF\r\n";
constexpr std::string_view kTooManyReply = "-ERR too many commands before login\r\n";

// Splits at the first "|" and moves the line end from the server part to the user part.
void split(std::string_view line, std::string &u, std::string &s) {
    const std::size_t bar = line.find('|');
    if (bar == std::string_view::npos) {
        u.assign(line);
        s.clear();
        return;
    }
    u.assign(line.substr(0, bar));
    std::string_view rest = line.substr(bar + 1);
    // Each test sees what the one before left.
    for (std::string_view end : {"\n\r", "\r\n", "\n", "\r"}) {
        if (rest.ends_with(end)) {
            u.append(end);
            rest.remove_suffix(end.size());
        }
    }
    s.assign(rest);
}

std::string_view withoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    return line;
}

// The login name of a user part: what follows USER, less blanks.
std::string loginNameOf(std::string_view userPart) {
    std::string_view u = withoutLineEnd(userPart);
    if (common::startsNoCase(u, "USER ")) u.remove_prefix(5);
    return std::string(common::trimBlanks(u));
}

}  // namespace

std::string user(std::string_view userline) {
    std::string u, s;
    split(userline, u, s);
    return u;
}

std::string server(std::string_view userline) {
    std::string u, s;
    split(userline, u, s);
    return s;
}

bool isLoginLine(std::string_view line) {
    return line.find('|') != std::string_view::npos &&
           common::findNoCase(line, "user") != std::string_view::npos;
}

std::string unavailableReply(std::string_view server) {
    return "-ERR POP3 server " + common::replytext(server) + " is not available\r\n";
}

std::string loginIdleReply(int seconds) {
    return "-ERR no login within " + std::to_string(seconds) + " seconds\r\n";
}

// ---- the one place the phase changes ----

void LoginRules::enter(Phase next, const char *why) {
    phase_ = next;
    transition_ = why;
}

// ---- the client, before its login ----

void LoginRules::answer(std::string_view reply) {
    reply_.append(reply);
}

void LoginRules::end(Opening &o, const char *why) {
    o.close = true;
    enter(Phase::ended, why);
}

void LoginRules::refused(std::string_view reply, Opening &o) {
    // A client that keeps getting it wrong is probing, not logging in.
    if (++refusals_ >= kMaxRefusals) {
        answer(kTooManyReply);
        end(o, "too many commands before login");
        return;
    }
    answer(reply);
}

void LoginRules::refusedLogin(std::string_view line, std::string_view why) {
    if (!policy_.refusedLogin) return;
    std::string u, s;
    split(line, u, s);
    policy_.refusedLogin(
        RefusedLogin{std::string(why), loginNameOf(u), std::string(withoutLineEnd(s))});
}

common::RelayRules::Opening LoginRules::open(std::string_view bytes) {
    reply_.clear();
    Opening o;
    if (phase_ != Phase::beforeLogin) return o;
    while (phase_ == Phase::beforeLogin && !o.upgrade) {
        const common::LineAssembler::Line line = lines_.next(bytes);
        if (line.kind == common::LineAssembler::Line::none) break;
        if (line.kind == common::LineAssembler::Line::tooLong) {
            answer(kTooLongReply);
            end(o, "a line too long before login");
            break;
        }
        onLine(line, o);
    }
    if (o.upgrade) {
        // Whatever followed STLS in the clear is dropped: only the handshake may come next.
        lines_.clear();
    } else if (phase_ == Phase::connecting) {
        // Whatever followed the login line goes to the server, byte for byte.
        held_.assign(bytes);
        o.connect = true;
        o.host = host_;
        o.port = policy_.serverPort;
        o.tls = policy_.serverTls == ServerTls::implicit;
    }
    o.reply = reply_;
    return o;
}

void LoginRules::onLine(const common::LineAssembler::Line &line, Opening &o) {
    const std::string_view whole = line.whole();
    const bool inTheClearOnly = policy_.clientTls.required && !clientTls_;
    if (isLoginLine(whole)) {
        if (inTheClearOnly) {
            refusedLogin(whole, "a login in the clear where TLS is required (STLS first)");
            refused(kTlsFirstReply, o);
            return;
        }
        // Only the line end may hold a CR: anything else could smuggle a second line past a
        // server that ends lines at CR.
        if (line.text.find('\r') != std::string_view::npos ||
            whole.find('\0') != std::string_view::npos) {
            refusedLogin(whole, "the login line holds a CR or a NUL");
            refused(kControlReply, o);
            return;
        }
        std::string u, s;
        split(whole, u, s);
        std::optional<std::string> host = common::parseHost(s);
        if (!host) {
            // Told like any server that cannot be used: the client learns nothing more.
            refusedLogin(whole, "the server is not a host name or an address");
            answer(unavailableReply(s));
            end(o, "the login named no usable server");
            return;
        }
        user_ = std::move(u);
        server_ = std::move(s);
        host_ = std::move(*host);
        enter(Phase::connecting, "login line seen");
        return;
    }
    const std::string_view body = line.text;
    const std::string_view word = body.substr(0, body.find(' '));
    if (common::equalNoCase(word, "CAPA")) {
        answer(policy_.clientTls.available && !clientTls_ ? kCapaTlsReply : kCapaReply);
    } else if (common::equalNoCase(word, "STLS")) {
        if (!policy_.clientTls.available) {
            refused(kNoStlsReply, o);
        } else if (clientTls_) {
            refused(kAlreadyTlsReply, o);
        } else {
            answer(kStlsReply);
            o.upgrade = true;
        }
    } else if (common::equalNoCase(word, "USER") && inTheClearOnly) {
        refused(kTlsFirstReply, o);
    } else if (common::equalNoCase(word, "QUIT")) {
        answer(kQuitReply);
        end(o, "the client quit before login");
    } else if (common::equalNoCase(word, "USER")) {
        refused(kUserFormReply, o);
    } else {
        refused(kLoginFirstReply, o);
    }
}

// ---- the server, before the relay ----

common::RelayRules::Start LoginRules::connected() {
    // A POP3S server is heard of only once its certificate has been checked.
    if (policy_.serverTls == ServerTls::implicit) serverTls_ = true;
    replies_.expect(common::Pop3Command::greeting);
    enter(Phase::greeting, "connected, waiting for the greeting");
    // Nothing of the client's goes to a server that has not greeted as a POP3 server.
    Start s;
    s.greet = true;
    return s;
}

common::RelayRules::Greeting LoginRules::greet(std::string_view bytes) {
    switch (phase_) {
        case Phase::greeting:
            return onGreeting(bytes);
        case Phase::capa:
            return onCapa(bytes);
        case Phase::stls:
            return onStls(bytes);
        default:
            return {};  // the handshake: encrypted() goes on
    }
}

common::RelayRules::Greeting LoginRules::onGreeting(std::string_view bytes) {
    const common::Pop3Reply::Piece p = replies_.next(bytes);
    if (p.kind == common::Pop3Reply::Piece::none) return {};
    // Nothing a server that is not a POP3 server says reaches the client.
    if (p.kind != common::Pop3Reply::Piece::status || !p.ok)
        return refuseServer("the server did not greet as a POP3 server");
    // The greeting is dropped: the client has had ours.
    if (policy_.serverTls == ServerTls::off || policy_.serverTls == ServerTls::implicit)
        return acceptServer(bytes);
    // Whether the server offers STLS; anything it said beyond its greeting is no answer yet.
    replies_.expect(common::Pop3Command::capa);
    enter(Phase::capa, "asking whether the server offers STLS");
    Greeting g = onCapa(bytes);
    if (g.kind == Greeting::wait) {
        g.kind = Greeting::send;
        g.toServer = "CAPA\r\n";
    }
    return g;
}

common::RelayRules::Greeting LoginRules::onCapa(std::string_view bytes) {
    for (;;) {
        const common::Pop3Reply::Piece p = replies_.next(bytes);
        using K = common::Pop3Reply::Piece;
        if (p.kind == K::none) return {};
        if (p.kind == K::tooLong || replies_.bodyBytes() > kMaxCapaLength)
            return refuseServer("the server's CAPA answer is longer than 64 KiB");
        if (p.kind == K::line) {
            if (common::equalNoCase(common::trimBlanks(p.text), "STLS")) stlsOffered_ = true;
            continue;
        }
        // A server that knows no CAPA offers nothing; otherwise its list has ended.
        if (p.kind == K::status && p.multiLine) continue;
        break;
    }
    if (stlsOffered_) {
        replies_.expect(common::Pop3Command::stls);
        enter(Phase::stls, "securing the server with STLS");
        Greeting g;
        g.kind = Greeting::send;
        g.toServer = "STLS\r\n";
        return g;
    }
    // No STLS: a client on TLS is not relayed in the clear, and neither is anyone when TLS is
    // required.
    if (policy_.serverTls == ServerTls::stls)
        return refuseServer("the server offers no STLS, and the server leg must be TLS");
    if (clientTls_)
        return refuseServer("the server offers no STLS, and the client came in over TLS");
    return acceptServer({});
}

common::RelayRules::Greeting LoginRules::onStls(std::string_view bytes) {
    const common::Pop3Reply::Piece p = replies_.next(bytes);
    if (p.kind == common::Pop3Reply::Piece::none) return {};
    // Once STLS is offered, a failed upgrade is never a fall-back to the clear.
    if (p.kind != common::Pop3Reply::Piece::status || !p.ok)
        return refuseServer("the server refused STLS");
    // Whatever followed the answer in the clear is dropped with it.
    enter(Phase::handshake, "the server's TLS handshake");
    Greeting g;
    g.kind = Greeting::upgrade;
    return g;
}

common::RelayRules::Greeting LoginRules::acceptServer(std::string_view forClient) {
    // The client's USER command, with the line end it sent, goes first, then whatever it sent
    // after it.
    first_ = user_ + held_;
    std::string().swap(held_);
    enter(Phase::relaying, "the server took the login");
    Greeting g;
    g.kind = Greeting::accept;
    g.toServer = first_;
    g.toClient = forClient;
    return g;
}

common::RelayRules::Greeting LoginRules::refuseServer(std::string why) {
    refusal_ = std::move(why);
    reply_ = unavailableReply(server_);
    enter(Phase::ended, "the server could not be used");
    Greeting g;
    g.kind = Greeting::refuse;
    g.toClient = reply_;
    return g;
}

common::RelayRules::Greeting LoginRules::encrypted(common::Side side) {
    if (side == common::Side::client) {
        // What the client sent before was dropped with the clear text.
        clientTls_ = true;
        lines_.clear();
        return {};
    }
    serverTls_ = true;
    if (phase_ == Phase::handshake) return acceptServer({});
    return {};
}

std::string LoginRules::userName() const {
    return loginNameOf(user_);
}

std::string LoginRules::failure(common::Failure why, std::string_view reason) {
    // However the server failed, the client hears the same: a proxy that told "refused" from
    // "not found" from a foreign banner would scan the network for anyone. The log says which.
    const bool greeted =
        phase_ == Phase::capa || phase_ == Phase::stls || phase_ == Phase::handshake;
    switch (why) {
        case common::Failure::unreachable:
            // The relay's policy names its own refusal so.
            if (reason == "address not allowed")
                refusal_ =
                    "the server's address is not allowed: this machine, a private network "
                    "or this proxy, and not in allowservers";
            else if (reason.empty())
                refusal_ = "the server could not be reached";
            else
                refusal_ = "the server could not be used: " + std::string(reason);
            break;
        case common::Failure::closedEarly:
            refusal_ = greeted ? "the server closed the connection while the proxy secured it"
                               : "the server closed the connection before it greeted";
            break;
        case common::Failure::noGreeting:
            refusal_ = (greeted ? "the server did not answer CAPA or STLS within "
                                : "the server sent no greeting within ") +
                       std::to_string(policy_.greetingSeconds) + " s";
            break;
        case common::Failure::noLogin:
            enter(Phase::ended, "no login in time");
            return loginIdleReply(policy_.loginSeconds);
        case common::Failure::silent:
            return {};
    }
    enter(Phase::ended, "the server could not be used");
    return unavailableReply(server_);
}

}  // namespace quessel
