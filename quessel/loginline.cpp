#include "quessel/loginline.h"

#include <algorithm>

#include "common/asciitext.h"
#include "common/hostport.h"

namespace quessel {

namespace {

constexpr std::string_view kCapaReply = "+OK capability list follows\r\nUSER\r\n.\r\n";
constexpr std::string_view kQuitReply = "+OK\r\n";
constexpr std::string_view kUserFormReply =
    "-ERR log in as USERNAME|SERVER: your user name, \"|\", then your POP3 server\r\n";
constexpr std::string_view kLoginFirstReply = "-ERR log in first with USER USERNAME|SERVER\r\n";
constexpr std::string_view kBadServerReply =
    "-ERR the text after \"|\" is not a server name; log in as USERNAME|SERVER\r\n";
constexpr std::string_view kTooLongReply = "-ERR line too long\r\n";

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

std::string unreachableReply(std::string_view server, std::string_view reason) {
    return "-ERR cannot reach POP3 server " + printable(server) + ": " + printable(reason) + "\r\n";
}

std::string closedBeforeGreetingReply(std::string_view server) {
    return "-ERR POP3 server " + printable(server) +
           " closed the connection without a greeting\r\n";
}

std::string greetingTimeoutReply(std::string_view server, int seconds) {
    return "-ERR POP3 server " + printable(server) + " sent no greeting within " +
           std::to_string(seconds) + " seconds\r\n";
}

std::string loginIdleReply(int minutes) {
    return "-ERR no login within " + std::to_string(minutes) + " minutes\r\n";
}

ClientStep Session::fromClient(std::string_view bytes) {
    ClientStep step;
    if (phase_ == Phase::Connecting) {
        held_.append(bytes);
        return step;
    }
    if (phase_ != Phase::Greeted) return step;

    // A line that ended in CR (or LF) at the end of the last input may have its LF (or CR) here.
    if (swallow_ && !bytes.empty() && bytes.front() == swallow_) bytes.remove_prefix(1);
    swallow_ = 0;
    line_.append(bytes);

    std::size_t start = 0;
    while (phase_ == Phase::Greeted) {
        std::size_t end = line_.find_first_of("\r\n", start);
        if (end == std::string::npos) break;
        const char pair = line_[end] == '\r' ? '\n' : '\r';
        std::size_t next = end + 1;
        if (next < line_.size()) {
            if (line_[next] == pair) ++next;
        } else {
            swallow_ = pair;
        }
        onLine(std::string_view(line_).substr(start, next - start), step);
        start = next;
    }

    if (phase_ == Phase::Connecting) {
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

void Session::onLine(std::string_view line, ClientStep &step) {
    if (isLoginLine(line)) {
        std::string u, s;
        split(line, u, s);
        std::optional<std::string> host = serverHost(s);
        if (!host) {
            step.reply.append(kBadServerReply);
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
        step.reply.append(kCapaReply);
    } else if (word == "QUIT") {
        step.reply.append(kQuitReply);
        step.close = true;
        phase_ = Phase::Ended;
    } else if (word == "USER") {
        step.reply.append(kUserFormReply);
    } else {
        step.reply.append(kLoginFirstReply);
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
            step.reply = "-ERR POP3 server " + printable(server_) + " sent no greeting line\r\n";
        }
        return step;
    }
    greeting_.append(bytes.substr(0, lf + 1));
    // RFC 1939 status indicators are case-insensitive.
    if (!common::startsNoCase(greeting_, "+OK")) {
        step.kind = ServerStep::Refuse;
        step.reply = "-ERR POP3 server " + printable(server_) +
                     " refused the session: " + printable(withoutLineEnd(greeting_)) + "\r\n";
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
    reply_ = std::move(step.reply);
    host_ = std::move(step.host);
    Opening o;
    o.reply = reply_;
    o.connect = step.connect;
    o.host = host_;
    o.port = serverPort_;
    o.close = step.close;
    return o;
}

common::RelayRules::Start LoginRules::connected() {
    // The client's USER command, with the line end it sent, reaches the server first, then
    // whatever the client sent after it.
    first_ = session_.takeForServer();
    Start s;
    s.send = first_;
    s.greet = true;
    return s;
}

common::RelayRules::Greeting LoginRules::greet(std::string_view bytes) {
    ServerStep step = session_.fromServer(bytes);
    Greeting g;
    switch (step.kind) {
        case ServerStep::Wait:
            g.kind = Greeting::wait;
            break;
        case ServerStep::Refuse:
            reply_ = std::move(step.reply);
            g.kind = Greeting::refuse;
            g.toClient = reply_;
            break;
        case ServerStep::Pass:
            // The greeting is dropped: the client has had ours.
            g.kind = Greeting::accept;
            g.toClient = step.forClient;
            break;
    }
    return g;
}

std::string LoginRules::failure(common::Failure why, std::string_view reason) {
    switch (why) {
        case common::Failure::unreachable:
            return unreachableReply(session_.serverPart(), reason);
        case common::Failure::closedEarly:
            return closedBeforeGreetingReply(session_.serverPart());
        case common::Failure::noGreeting:
            return greetingTimeoutReply(session_.serverPart(), greetingSeconds_);
        case common::Failure::noLogin:
            return loginIdleReply(loginSeconds_ / 60);
        case common::Failure::silent:
            break;
    }
    return {};
}

}  // namespace quessel
