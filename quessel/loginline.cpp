#include "quessel/loginline.h"

#include "common/asciitext.h"
#include "common/base64.h"
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
constexpr std::string_view kCapaPlainReply =
    "+OK capability list follows\r\nUSER\r\nSASL PLAIN\r\n.\r\n";
constexpr std::string_view kCapaTlsPlainReply =
    "+OK capability list follows\r\nUSER\r\nSTLS\r\nSASL PLAIN\r\n.\r\n";
constexpr std::string_view kMechanismsReply = "+OK\r\nPLAIN\r\n.\r\n";
constexpr std::string_view kNoAuthReply = "-ERR no SASL mechanism is offered here\r\n";
constexpr std::string_view kPlainOnlyReply = "-ERR AUTH PLAIN is the mechanism offered here\r\n";
constexpr std::string_view kCancelledReply = "-ERR AUTH cancelled\r\n";
constexpr std::string_view kBadPlainReply = "-ERR that is no AUTH PLAIN response\r\n";
// One line for every name the map does not know: a client learns no more.
constexpr std::string_view kUnknownReply = "-ERR this login is not known here\r\n";
constexpr std::string_view kMapFormReply = "-ERR log in with your user name\r\n";

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
        o.port = port_ ? port_ : policy_.serverPort;
        o.tls = policy_.serverTls == ServerTls::implicit;
    }
    o.reply = reply_;
    return o;
}

bool LoginRules::plainOffered() const {
    return clientTls_ || (policy_.clientLocal && !policy_.clientTls.required);
}

bool LoginRules::route(std::string_view name, std::string &login, Opening &o) {
    if (policy_.userServer && name.find('|') != std::string_view::npos) {
        const std::string_view server = name.substr(name.find('|') + 1);
        std::optional<std::string> host = common::parseHost(server);
        if (!host) {
            if (policy_.refusedLogin)
                policy_.refusedLogin(RefusedLogin{"the server is not a host name or an address",
                                                  std::string(name.substr(0, name.find('|'))), std::string(server)});
            answer(unavailableReply(server));
            end(o, "the login named no usable server");
            return false;
        }
        login.assign(name.substr(0, name.find('|')));
        server_.assign(server);
        host_ = std::move(*host);
        port_ = 0;
        return true;
    }
    const std::optional<Route> r = policy_.map ? policy_.map->find(name) : std::nullopt;
    if (!r) {
        if (policy_.refusedLogin)
            policy_.refusedLogin(RefusedLogin{policy_.map ? "the name is not in the map" : "no server named",
                                              std::string(name), {}});
        refused(policy_.map ? kUnknownReply : kUserFormReply, o);
        return false;
    }
    login = r->login;
    server_ = r->host;
    host_ = r->host;
    port_ = r->port;
    return true;
}

void LoginRules::onAuth(std::string_view args, Opening &o) {
    const std::size_t blank = args.find(' ');
    const std::string_view mechanism = args.substr(0, blank);
    const std::string_view initial =
        blank == std::string_view::npos ? std::string_view() : common::trimBlanks(args.substr(blank + 1));
    if (!plainOffered()) {
        refused(policy_.clientTls.required && !clientTls_ ? kTlsFirstReply : kNoAuthReply, o);
        return;
    }
    if (mechanism.empty()) {
        answer(kMechanismsReply);
        return;
    }
    if (!common::equalNoCase(mechanism, "PLAIN")) {
        refused(kPlainOnlyReply, o);
        return;
    }
    if (initial.empty()) {
        answer("+ \r\n");
        awaitingPlain_ = true;
        return;
    }
    onPlain(initial, o);
}

void LoginRules::onPlain(std::string_view response, Opening &o) {
    if (response == "*") {
        refused(kCancelledReply, o);
        return;
    }
    // RFC 4616: authzid NUL authcid NUL passwd; an empty authzid is the authcid's own.
    const std::optional<std::string> plain = common::base64Decode(response);
    std::size_t first = plain ? plain->find('\0') : std::string::npos;
    std::size_t second = first == std::string::npos ? std::string::npos : plain->find('\0', first + 1);
    if (second == std::string::npos || plain->find('\0', second + 1) != std::string::npos) {
        refused(kBadPlainReply, o);
        return;
    }
    const std::string authzid = plain->substr(0, first), authcid = plain->substr(first + 1, second - first - 1);
    std::string login;
    const std::string &identity = authzid.empty() ? authcid : authzid;
    if (!route(identity, login, o)) return;
    loginName_ = identity.substr(0, identity.find('|'));
    plain_ = true;
    if (authzid.empty()) {
        authcid_ = login;
    } else {
        authzid_ = login;
        authcid_ = authcid.substr(0, authcid.find('|'));
    }
    password_ = plain->substr(second + 1);
    enter(Phase::connecting, "AUTH PLAIN seen");
}

void LoginRules::onLine(const common::LineAssembler::Line &line, Opening &o) {
    const std::string_view whole = line.whole();
    const bool inTheClearOnly = policy_.clientTls.required && !clientTls_;
    if (awaitingPlain_) {
        awaitingPlain_ = false;
        onPlain(common::trimBlanks(line.text), o);
        return;
    }
    if (policy_.userServer && isLoginLine(whole)) {
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
        loginName_ = loginNameOf(user_);
        enter(Phase::connecting, "login line seen");
        return;
    }
    if (policy_.map && common::startsNoCase(line.text, "USER ") && !inTheClearOnly) {
        // A plain login name, routed by the map: the server gets the name the map gives.
        const std::string_view name = common::trimBlanks(line.text.substr(5));
        std::string login;
        if (line.text.find('\r') != std::string_view::npos || whole.find('\0') != std::string_view::npos) {
            refused(kControlReply, o);
            return;
        }
        if (name.empty()) {
            refused(kMapFormReply, o);
            return;
        }
        if (!route(name, login, o)) return;
        user_ = "USER " + login + std::string(line.end);
        loginName_.assign(name);
        enter(Phase::connecting, "login name found in the map");
        return;
    }
    const std::string_view body = line.text;
    const std::string_view word = body.substr(0, body.find(' '));
    if (common::equalNoCase(word, "CAPA")) {
        const bool stls = policy_.clientTls.available && !clientTls_;
        answer(plainOffered() ? (stls ? kCapaTlsPlainReply : kCapaPlainReply) : (stls ? kCapaTlsReply : kCapaReply));
    } else if (common::equalNoCase(word, "AUTH")) {
        onAuth(common::trimBlanks(body.substr(std::min(body.size(), word.size()))), o);
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
        refused(policy_.map ? kMapFormReply : kUserFormReply, o);
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
    // The greeting is dropped: the client has had ours. With AUTH from the client, the server's
    // mechanisms are asked for too.
    if ((policy_.serverTls == ServerTls::off || policy_.serverTls == ServerTls::implicit) && !plain_)
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
            const std::string_view capability = common::trimBlanks(p.text);
            if (common::equalNoCase(capability, "STLS")) stlsOffered_ = true;
            if (common::startsNoCase(capability, "SASL ")) {
                for (std::string_view rest = capability.substr(5); !rest.empty();) {
                    const std::size_t blank = rest.find(' ');
                    serverPlain_ |= common::equalNoCase(rest.substr(0, blank), "PLAIN");
                    rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
                }
            }
            continue;
        }
        // A server that knows no CAPA offers nothing; otherwise its list has ended.
        if (p.kind == K::status && p.multiLine) continue;
        break;
    }
    const bool mayStls = policy_.serverTls == ServerTls::automatic || policy_.serverTls == ServerTls::stls;
    if (stlsOffered_ && mayStls) {
        replies_.expect(common::Pop3Command::stls);
        enter(Phase::stls, "securing the server with STLS");
        Greeting g;
        g.kind = Greeting::send;
        g.toServer = "STLS\r\n";
        return g;
    }
    // No STLS: a client on TLS is not relayed in the clear, and neither is anyone when TLS is
    // required.
    if (!mayStls) return acceptServer({});
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
    // after it. A client that used AUTH PLAIN logs in the way the server takes: AUTH PLAIN with
    // the names routed, or USER and PASS (whose first answer is the proxy's).
    if (!plain_) {
        first_ = user_ + held_;
    } else if (serverPlain_) {
        std::string plain = authzid_;
        plain.append(1, '\0').append(authcid_).append(1, '\0').append(password_);
        first_ = "AUTH PLAIN " + common::base64Encode(plain) + "\r\n" + held_;
        std::fill(plain.begin(), plain.end(), '\0');
    } else {
        first_ = "USER " + (authzid_.empty() ? authcid_ : authzid_) + "\r\nPASS " + password_ + "\r\n" + held_;
        swallow_ = Swallow::userAnswer;
    }
    std::fill(password_.begin(), password_.end(), '\0');
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
    return loginName_;
}

std::string LoginRules::target() const {
    if (server_.empty()) return {};
    return loginName_ + "|" + server_;
}

common::RelayRules::Pass LoginRules::relay(common::Side from, std::string_view bytes) {
    Pass p;
    p.send = bytes;
    if (from != common::Side::server || swallow_ == Swallow::none) return p;
    // The server's answer to USER, which the client never sent (it sent AUTH PLAIN): dropped when
    // it is +OK, so that the answer to PASS stands for the client's AUTH; passed on when it is an
    // error, and the answer to PASS dropped instead.
    reply_.clear();
    while (swallow_ != Swallow::none) {
        const common::LineAssembler::Line l = serverLines_.next(bytes);
        if (l.kind == common::LineAssembler::Line::none) break;
        if (swallow_ == Swallow::userAnswer && !common::startsNoCase(l.text, "+OK")) {
            reply_.append(l.whole());
            swallow_ = Swallow::passAnswer;
            continue;
        }
        swallow_ = Swallow::none;  // this line was the proxy's to drop
    }
    reply_.append(bytes);
    p.send = reply_;
    return p;
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
