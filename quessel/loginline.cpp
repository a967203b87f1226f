#include "quessel/loginline.h"

#include <algorithm>
#include <cctype>

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

// Longest host name the resolver takes.
constexpr std::size_t kMaxHostLength = 253;

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
    std::string out;
    for (char c : text.substr(0, 200)) {
        unsigned char b = static_cast<unsigned char>(c);
        out.push_back(b >= 0x20 && b < 0x7f ? c : '?');
    }
    return out;
}

std::string_view withoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    return line;
}

std::string commandWord(std::string_view line) {
    std::string_view body = withoutLineEnd(line);
    std::size_t end = body.find(' ');
    std::string word(body.substr(0, end));
    for (char &c : word) c = char(std::toupper(static_cast<unsigned char>(c)));
    return word;
}

bool isHex(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

bool ipv6Literal(std::string_view s) {
    if (std::count(s.begin(), s.end(), ':') < 2) return false;
    return std::all_of(s.begin(), s.end(), [](char c) { return isHex(c) || c == ':' || c == '.'; });
}

bool hostName(std::string_view s) {
    if (s.empty() || s.front() == '.' || s.front() == '-') return false;
    if (s.find("..") != std::string_view::npos) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
    });
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
    if (line.find('|') == std::string_view::npos) return false;
    for (std::size_t i = 0; i + 4 <= line.size(); ++i) {
        std::string_view w = line.substr(i, 4);
        if (std::equal(w.begin(), w.end(), "user", [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == b;
            }))
            return true;
    }
    return false;
}

std::optional<std::string> serverHost(std::string_view part) {
    if (part.empty() || part.size() > kMaxHostLength) return std::nullopt;
    if (part.front() == '[') {
        if (part.size() < 3 || part.back() != ']') return std::nullopt;
        part = part.substr(1, part.size() - 2);
        if (!ipv6Literal(part)) return std::nullopt;
        return std::string(part);
    }
    if (ipv6Literal(part) || hostName(part)) return std::string(part);
    return std::nullopt;
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
    if (greeting_.compare(0, 3, "+OK") != 0) {
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

}  // namespace quessel
