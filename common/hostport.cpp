#include "common/hostport.h"

#include <algorithm>

#include "common/asciitext.h"

namespace common {

namespace {

constexpr std::size_t kMaxHostName = 253;

bool allDigits(std::string_view s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return !s.empty();
}

}  // namespace

std::optional<int> parsePort(std::string_view text, int low) {
    if (!allDigits(text) || text.size() > 5) return std::nullopt;
    int value = 0;
    for (char c : text) value = value * 10 + (c - '0');
    if (value < low || value > 65535) return std::nullopt;
    return value;
}

bool isIPv4Literal(std::string_view text) {
    int parts = 0;
    while (true) {
        const std::size_t dot = text.find('.');
        const std::string_view part = text.substr(0, dot);
        if (!allDigits(part) || part.size() > 3) return false;
        int value = 0;
        for (char c : part) value = value * 10 + (c - '0');
        if (value > 255) return false;
        ++parts;
        if (dot == std::string_view::npos) break;
        text.remove_prefix(dot + 1);
    }
    return parts == 4;
}

bool isIPv6Literal(std::string_view text) {
    if (std::count(text.begin(), text.end(), ':') < 2 || text.size() > 45) return false;
    // An IPv4 tail ("::ffff:10.0.0.1") counts as two groups.
    const std::size_t lastColon = text.rfind(':');
    std::string_view groups = text;
    if (text.find('.') != std::string_view::npos) {
        if (!isIPv4Literal(text.substr(lastColon + 1))) return false;
        groups = text.substr(0, lastColon + 1);
    }
    const bool compressed = groups.find("::") != std::string_view::npos;
    if (compressed && groups.find("::", groups.find("::") + 1) != std::string_view::npos)
        return false;
    int count = 0;
    std::size_t start = 0;
    while (start <= groups.size()) {
        std::size_t colon = groups.find(':', start);
        if (colon == std::string_view::npos) colon = groups.size();
        const std::string_view group = groups.substr(start, colon - start);
        if (group.size() > 4 || !std::all_of(group.begin(), group.end(), isHexDigit)) return false;
        if (!group.empty()) ++count;
        start = colon + 1;
    }
    if (text.find('.') != std::string_view::npos) count += 2;
    return compressed ? count < 8 : count == 8;
}

bool isHostName(std::string_view text) {
    if (text.empty() || text.size() > kMaxHostName) return false;
    if (text.back() == '.') text.remove_suffix(1);
    if (text.empty()) return false;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = text.find('.', start);
        const std::string_view label = text.substr(start, dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-') return false;
        for (char c : label)
            if (!isAsciiLetter(c) && !isAsciiDigit(c) && c != '-' && c != '_') return false;
        // A last label of digits makes no name but an address in disguise ("2130706433",
        // "127.1"), which resolvers read as one.
        if (dot == std::string_view::npos) return !allDigits(label);
        start = dot + 1;
    }
}

std::optional<std::string> parseHost(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
        if (!isIPv6Literal(text)) return std::nullopt;
        return std::string(text);
    }
    if (isIPv4Literal(text) || isIPv6Literal(text) || isHostName(text)) return std::string(text);
    return std::nullopt;
}

std::string urlHost(std::string_view host) {
    if (host.find(':') == std::string_view::npos) return std::string(host);
    return "[" + std::string(host) + "]";
}

std::string hostAndPort(std::string_view host, int port) {
    return urlHost(host) + ":" + std::to_string(port);
}

bool isDigits(std::string_view text) {
    return allDigits(text);
}

int statusCode(std::string_view text) {
    if (text.size() < 3 || !isDigits(text.substr(0, 3)) || (text.size() > 3 && text[3] != ' '))
        return -1;
    return (text[0] - '0') * 100 + (text[1] - '0') * 10 + (text[2] - '0');
}

Result<HostPort> parseHostPort(std::string_view text, int defaultPort) {
    auto refuse = [&] {
        return fail("\"" + replytext(text, 100) + "\" is not a host name or address with an optional port");
    };
    HostPort out;
    out.port = defaultPort;
    std::string_view name = text;
    std::optional<std::string_view> port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) return refuse();
        name = text.substr(0, close + 1);
        const std::string_view after = text.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return refuse();
            port = after.substr(1);
        }
    } else if (const std::size_t colon = text.find(':');
               colon != std::string_view::npos && text.find(':', colon + 1) == std::string_view::npos) {
        name = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    std::optional<std::string> host = parseHost(name);
    if (!host) return refuse();
    out.host = std::move(*host);
    if (port) {
        std::optional<int> number = parsePort(*port);
        if (!number) return fail("\"" + replytext(*port, 20) + "\" is not a port number from 1 to 65535");
        out.port = *number;
    }
    return out;
}

}  // namespace common
