#include "quessel/loginline.h"

#include <algorithm>

#include "common/asciitext.h"
#include "common/hostport.h"

namespace quessel {

namespace {

constexpr std::string_view kCapaReply = "+OK capability list follows\r\nUSER\r\n.\r\n";
constexpr std::string_view kCapaTlsReply =
    "+OK capability list follows\r\nUSER\r\nSTLS\r\n.\r\n";
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

bool endsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// Splits at the first "|" and moves the line end from the server part to the user part.
void split(std::string_view line, std::string &u, std::string &s) {
    std::size_t bar = line.find('|');
    if (bar == std::string_view::npos) {
        u.assign(line);
        s.clear();
        return;
    }
    u.assign(line.substr(0, bar));
    std::string_view rest = line.substr(bar + 1);
    // Each test sees what the one before left.
    for (std::string_view end : {"\n\r", "\r\n", "\n", "\r"}) {
        if (endsWith(rest, end)) {
            u.append(end);
            rest.remove_suffix(end.size());
        }
    }
    s.assign(rest);
}

// Text from the network, fit to stand inside one reply line.
std::string printable(std::string_view text) {
    return common::replytext(text);
}

std::string_view withoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    return line;
}

std::string commandWord(std::string_view line) {
    std::string_view body = withoutLineEnd(line);
    std::size_t end = body.find(' ');
    std::string word(body.substr(0, end));
    for (char &c : word) c = common::asciiUpper(c);
    return word;
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

std::optional<std::string> serverHost(std::string_view part) {
    return common::parseHost(part);
}

std::string unavailableReply(std::string_view server) {
    return "-ERR POP3 server " + printable(server) + " is not available\r\n";
}

std::string loginIdleReply(int seconds) {
    return "-ERR no login within " + std::to_string(seconds) + " seconds\r\n";
}

ClientStep Session::fromClient(std::string_view bytes) {
    ClientStep step;
    if (phase_ == Phase::Connecting) {
        held_.append(bytes);
        return step;
    }
    if (phase_ != Phase::Greeted) return step;

    // A line that ended in LF at the end of the last input may have its CR here (LF CR).
    if (swallow_ && !bytes.empty() && bytes.front() == swallow_) bytes.remove_prefix(1);
    swallow_ = 0;
    line_.append(bytes);

    // Lines end at LF (CR LF, or LF CR); a CR anywhere else is part of the line.
    std::size_t start = 0;
    while (phase_ == Phase::Greeted && !step.upgrade) {
        const std::size_t lf = line_.find('\n', start);
        if (lf == std::string::npos) break;
        std::size_t next = lf + 1;
        const bool crlf = lf > start && line_[lf - 1] == '\r';
        if (!crlf) {
            if (next < line_.size()) {
                if (line_[next] == '\r') ++next;
            } else {
                swallow_ = '\r';
            }
        }
        onLine(std::string_view(line_).substr(start, next - start), step);
        start = next;
    }

    if (step.upgrade) {
        // Whatever followed STLS in the clear is dropped: only the handshake may come next.
        std::string().swap(line_);
        swallow_ = 0;
    } else if (phase_ == Phase::Connecting) {
        // Whatever followed the login line goes to the server, byte for byte.
        held_.assign(line_, start);
        swallow_ = 0;
        std::string().swap(line_);
    } else if (phase_ == Phase::Greeted) {
        line_.erase(0, start);
        if (line_.size() > kMaxLineLength) {
            step.reply.append(kTooLongReply);
            step.close = true;
            phase_ = Phase::Ended;
        }
    }
    return step;
}

void Session::refused(std::string_view reply, ClientStep &step) {
    // A client that keeps getting it wrong is probing, not logging in.
    if (++refusals_ >= kMaxRefusals) {
        step.reply.append(kTooManyReply);
        step.close = true;
        phase_ = Phase::Ended;
        return;
    }
    step.reply.append(reply);
}

void Session::refusedLogin(std::string_view line, std::string_view why, ClientStep &step) {
    std::string u, s;
    split(line, u, s);
    std::string_view name = withoutLineEnd(u);
    if (common::startsNoCase(name, "USER ")) name.remove_prefix(5);
    step.refused.assign(why);
    step.loginName.assign(common::trimBlanks(name));
    step.serverName.assign(withoutLineEnd(s));
}

void Session::clientEncrypted() {
    clientTls_ = true;
    std::string().swap(line_);
    swallow_ = 0;
}

void Session::onLine(std::string_view line, ClientStep &step) {
    const bool inTheClearOnly = tls_.required && !clientTls_;
    if (isLoginLine(line)) {
        if (inTheClearOnly) {
            refusedLogin(line, "a login in the clear where TLS is required (STLS first)", step);
            refused(kTlsFirstReply, step);
            return;
        }
        // Only the line end may hold a CR: anything else could smuggle a second line past a
        // server that ends lines at CR.
        const std::string_view body = line.substr(0, line.find('\n'));
        const std::string_view text = body.ends_with('\r') ? body.substr(0, body.size() - 1) : body;
        if (text.find('\r') != std::string_view::npos || line.find('\0') != std::string_view::npos) {
            refusedLogin(line, "the login line holds a CR or a NUL", step);
            refused(kControlReply, step);
            return;
        }
        std::string u, s;
        split(line, u, s);
        std::optional<std::string> host = serverHost(s);
        if (!host) {
            refusedLogin(line, "the server is not a host name or an address", step);
            // Told like any server that cannot be used: the client learns nothing more.
            step.reply.append(unavailableReply(s));
            step.close = true;
            phase_ = Phase::Ended;
            return;
        }
        user_ = std::move(u);
        server_ = std::move(s);
        step.connect = true;
        step.host = std::move(*host);
        phase_ = Phase::Connecting;
        return;
    }
    const std::string word = commandWord(line);
    if (word == "CAPA") {
        step.reply.append(tls_.available && !clientTls_ ? kCapaTlsReply : kCapaReply);
    } else if (word == "STLS") {
        if (!tls_.available) {
            refused(kNoStlsReply, step);
        } else if (clientTls_) {
            refused(kAlreadyTlsReply, step);
        } else {
            step.reply.append(kStlsReply);
            step.upgrade = true;
        }
    } else if (word == "USER" && inTheClearOnly) {
        refused(kTlsFirstReply, step);
    } else if (word == "QUIT") {
        step.reply.append(kQuitReply);
        step.close = true;
        phase_ = Phase::Ended;
    } else if (word == "USER") {
        refused(kUserFormReply, step);
    } else {
        refused(kLoginFirstReply, step);
    }
}

std::string Session::takeForServer() {
    std::string out = user_;
    out.append(held_);
    std::string().swap(held_);
    phase_ = Phase::Relaying;
    return out;
}

ServerStep Session::fromServer(std::string_view bytes) {
    ServerStep step;
    if (greeted_) {
        step.kind = ServerStep::Pass;
        step.forClient = bytes;
        return step;
    }
    std::size_t lf = bytes.find('\n');
    if (lf == std::string_view::npos) {
        greeting_.append(bytes);
        if (greeting_.size() > kMaxGreetingLength) {
            step.kind = ServerStep::Refuse;
            step.reply = unavailableReply(server_);
        }
        return step;
    }
    greeting_.append(bytes.substr(0, lf + 1));
    // RFC 1939 status indicators are case-insensitive.
    if (!common::startsNoCase(greeting_, "+OK")) {
        // Nothing a server that is not a POP3 server says reaches the client.
        step.kind = ServerStep::Refuse;
        step.reply = unavailableReply(server_);
        return step;
    }
    greeted_ = true;
    std::string().swap(greeting_);
    step.kind = ServerStep::Pass;
    step.forClient = bytes.substr(lf + 1);
    return step;
}

// ---- in the relay ----

common::RelayRules::Opening LoginRules::open(std::string_view bytes) {
    ClientStep step = session_.fromClient(bytes);
    if (!step.refused.empty() && policy_.refusedLogin) policy_.refusedLogin(step);
    reply_ = std::move(step.reply);
    host_ = std::move(step.host);
    Opening o;
    o.reply = reply_;
    o.connect = step.connect;
    o.host = host_;
    o.port = policy_.serverPort;
    o.tls = policy_.serverTls == ServerTls::implicit;
    o.upgrade = step.upgrade;
    o.close = step.close;
    return o;
}

common::RelayRules::Start LoginRules::connected() {
    // A POP3S server is heard of only once its certificate has been checked.
    if (policy_.serverTls == ServerTls::implicit) serverTls_ = true;
    // Nothing of the client's goes to a server that has not greeted as a POP3 server.
    Start s;
    s.greet = true;
    return s;
}

common::RelayRules::Greeting LoginRules::acceptServer(std::string_view forClient) {
    // The client's USER command, with the line end it sent, goes first, then whatever it sent
    // after it.
    first_ = session_.takeForServer();
    Greeting g;
    g.kind = Greeting::accept;
    g.toServer = first_;
    g.toClient = forClient;
    return g;
}

common::RelayRules::Greeting LoginRules::refuseServer(std::string why) {
    refusal_ = std::move(why);
    reply_ = unavailableReply(session_.serverPart());
    Greeting g;
    g.kind = Greeting::refuse;
    g.toClient = reply_;
    return g;
}

common::RelayRules::Greeting LoginRules::greet(std::string_view bytes) {
    if (securing_ != Securing::greeting) return negotiate(bytes);
    ServerStep step = session_.fromServer(bytes);
    Greeting g;
    switch (step.kind) {
        case ServerStep::Wait:
            return g;
        case ServerStep::Refuse:
            return refuseServer("the server did not greet as a POP3 server");
        case ServerStep::Pass:
            break;
    }
    // The greeting is dropped: the client has had ours.
    if (policy_.serverTls == ServerTls::off || policy_.serverTls == ServerTls::implicit)
        return acceptServer(step.forClient);
    // Whether the server offers STLS; anything it said beyond its greeting is no answer yet.
    securing_ = Securing::capa;
    answer_.assign(step.forClient);
    g.kind = Greeting::send;
    g.toServer = "CAPA\r\n";
    return g;
}

common::RelayRules::Greeting LoginRules::negotiate(std::string_view bytes) {
    answer_.append(bytes);
    if (answer_.size() > kMaxCapaLength)
        return refuseServer("the server's CAPA answer is longer than 64 KiB");
    Greeting g;
    if (securing_ == Securing::capa) {
        bool stls = false;
        std::size_t start = 0;
        bool complete = false;
        for (std::size_t lf; (lf = answer_.find('\n', start)) != std::string::npos; start = lf + 1) {
            std::string_view line = std::string_view(answer_).substr(start, lf - start);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (start == 0) {
                // A server that knows no CAPA offers nothing.
                if (!common::startsNoCase(line, "+OK")) {
                    complete = true;
                    break;
                }
                continue;
            }
            if (line == ".") {
                complete = true;
                break;
            }
            if (common::equalNoCase(common::trimBlanks(line), "STLS")) stls = true;
        }
        if (!complete) return g;
        answer_.clear();
        if (stls) {
            securing_ = Securing::stls;
            g.kind = Greeting::send;
            g.toServer = "STLS\r\n";
            return g;
        }
        // No STLS: a client on TLS is not relayed in the clear, and neither is anyone when TLS
        // is required.
        if (policy_.serverTls == ServerTls::stls)
            return refuseServer("the server offers no STLS, and the server leg must be TLS");
        if (session_.clientTls())
            return refuseServer("the server offers no STLS, and the client came in over TLS");
        return acceptServer({});
    }
    if (securing_ == Securing::stls) {
        const std::size_t lf = answer_.find('\n');
        if (lf == std::string::npos) return g;
        // Once STLS is offered, a failed upgrade is never a fall-back to the clear.
        if (!common::startsNoCase(answer_, "+OK")) return refuseServer("the server refused STLS");
        // Whatever followed the answer in the clear is dropped with it.
        answer_.clear();
        securing_ = Securing::handshake;
        g.kind = Greeting::upgrade;
        return g;
    }
    return g;  // the handshake: encrypted() goes on
}

std::string LoginRules::userName() const {
    std::string_view u = withoutLineEnd(session_.userPart());
    if (common::startsNoCase(u, "USER ")) u.remove_prefix(5);
    return std::string(common::trimBlanks(u));
}

common::RelayRules::Greeting LoginRules::encrypted(common::Side side) {
    if (side == common::Side::client) {
        session_.clientEncrypted();
        return {};
    }
    serverTls_ = true;
    if (securing_ == Securing::handshake) return acceptServer({});
    return {};
}

std::string LoginRules::failure(common::Failure why, std::string_view reason) {
    // However the server failed, the client hears the same: a proxy that told "refused" from
    // "not found" from a foreign banner would scan the network for anyone. The log says which.
    const bool greeted = session_.serverGreeted();
    switch (why) {
        case common::Failure::unreachable:
            // The relay's policy names its own refusal so.
            if (reason == "address not allowed")
                refusal_ = "the server's address is not allowed: this machine, a private network "
                           "or this proxy, and not in allowservers";
            else if (reason.empty())
                refusal_ = "the server could not be reached";
            else
                refusal_ = "the server could not be used: " + std::string(reason);
            return unavailableReply(session_.serverPart());
        case common::Failure::closedEarly:
            refusal_ = greeted ? "the server closed the connection while the proxy secured it"
                               : "the server closed the connection before it greeted";
            return unavailableReply(session_.serverPart());
        case common::Failure::noGreeting:
            refusal_ = (greeted ? "the server did not answer CAPA or STLS within "
                                : "the server sent no greeting within ") +
                       std::to_string(policy_.greetingSeconds) + " s";
            return unavailableReply(session_.serverPart());
        case common::Failure::noLogin:
            return loginIdleReply(policy_.loginSeconds);
        case common::Failure::silent:
            break;
    }
    return {};
}

}  // namespace quessel
