#include "common/netaddress.h"

#include <arpa/inet.h>
#include <idn2.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

#include "common/asciitext.h"
#include "common/hostport.h"

namespace common {

namespace {

constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

// Whether the first `prefix` bits of a and b are equal.
bool samePrefix(const std::array<std::uint8_t, 16> &a, const std::array<std::uint8_t, 16> &b,
                int prefix) {
    int full = prefix / 8;
    if (std::memcmp(a.data(), b.data(), std::size_t(full)) != 0) return false;
    const int rest = prefix % 8;
    if (rest == 0) return true;
    const std::uint8_t mask = std::uint8_t(0xff << (8 - rest));
    return (a[std::size_t(full)] & mask) == (b[std::size_t(full)] & mask);
}

bool inRange(const NetAddress &a, const char *base, int prefix) {
    const std::optional<NetAddress> b = NetAddress::parse(base);
    return b && samePrefix(a.bytes(), b->bytes(), (b->isV4() ? 96 : 0) + prefix);
}

}  // namespace

std::optional<NetAddress> NetAddress::parse(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    if (text.empty() || text.size() > 45) return std::nullopt;
    const std::string s(text);
    NetAddress a;
    std::uint8_t v4[4];
    if (isIPv4Literal(text) && ::inet_pton(AF_INET, s.c_str(), v4) == 1) return fromBytes(v4, true);
    if (::inet_pton(AF_INET6, s.c_str(), a.bytes_.data()) == 1) return a;
    return std::nullopt;
}

NetAddress NetAddress::fromBytes(const std::uint8_t *bytes, bool v4) {
    NetAddress a;
    if (v4) {
        std::memcpy(a.bytes_.data(), kMapped, 12);
        std::memcpy(a.bytes_.data() + 12, bytes, 4);
    } else {
        std::memcpy(a.bytes_.data(), bytes, 16);
    }
    return a;
}

bool NetAddress::isV4() const {
    return std::memcmp(bytes_.data(), kMapped, 12) == 0;
}

std::string NetAddress::text() const {
    char buf[INET6_ADDRSTRLEN] = {0};
    if (!isV4()) {
        ::inet_ntop(AF_INET6, bytes_.data(), buf, sizeof buf);
        return buf;
    }
    // Every client's address is written for its slot: the library's way goes through printf.
    char *at = buf;
    for (int i = 12; i < 16; ++i) {
        unsigned v = bytes_[std::size_t(i)];
        if (v >= 100) *at++ = char('0' + v / 100);
        if (v >= 10) *at++ = char('0' + v / 10 % 10);
        *at++ = char('0' + v % 10);
        if (i < 15) *at++ = '.';
    }
    return std::string(buf, std::size_t(at - buf));
}

bool NetAddress::isLoopback() const {
    return isV4() ? bytes_[12] == 127 : inRange(*this, "::1", 128);
}

bool NetAddress::isUnspecified() const {
    return isV4() ? bytes_[12] == 0 : inRange(*this, "::", 128);
}

bool NetAddress::isLinkLocal() const {
    return isV4() ? inRange(*this, "169.254.0.0", 16) : inRange(*this, "fe80::", 10);
}

bool NetAddress::isMulticast() const {
    return isV4() ? (bytes_[12] & 0xf0) == 0xe0 : bytes_[0] == 0xff;
}

bool NetAddress::isPrivate() const {
    if (isV4())
        return inRange(*this, "10.0.0.0", 8) || inRange(*this, "172.16.0.0", 12) ||
               inRange(*this, "192.168.0.0", 16) || inRange(*this, "100.64.0.0", 10) ||
               inRange(*this, "255.255.255.255", 32);
    // Unique local addresses, and IPv4 written inside IPv6 in the old compatible form.
    return inRange(*this, "fc00::", 7) || inRange(*this, "::", 96);
}

namespace {

// %XX as the byte it stands for; nullopt for a "%" that is no escape.
std::optional<std::string> percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size() || !isHexDigit(text[i + 1]) || !isHexDigit(text[i + 2]))
            return std::nullopt;
        auto hex = [](char c) { return isAsciiDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10; };
        out += char(hex(text[i + 1]) * 16 + hex(text[i + 2]));
        i += 2;
    }
    return out;
}

// The numbers-and-dots forms of an IPv4 address that resolvers and browsers take (one to four
// parts, each decimal, octal with a leading 0 or hex with 0x).
std::optional<NetAddress> numericIPv4(std::string_view text) {
    if (text.empty() || !isAsciiDigit(text.front())) return std::nullopt;
    for (char c : text)
        if (!isHexDigit(c) && c != '.' && c != 'x' && c != 'X') return std::nullopt;
    const std::string s(text);
    in_addr a{};
    if (::inet_aton(s.c_str(), &a) == 0) return std::nullopt;
    return NetAddress::fromBytes(reinterpret_cast<const std::uint8_t *>(&a.s_addr), true);
}

}  // namespace

namespace {
// Whether a host is in its one form already, as nearly every name and address a browser sends
// is: a lower-case ASCII name whose last label begins with a letter (so no number in disguise),
// or a dotted quad without leading zeros. The rest takes the long way.
bool alreadyNormal(std::string_view host) {
    if (host.empty() || host.size() > 253 || host.back() == '.' || host.front() == '.') return false;
    const std::size_t lastDot = host.rfind('.');
    const char lead = host[lastDot == std::string_view::npos ? 0 : lastDot + 1];
    if (lead >= 'a' && lead <= 'z') {
        for (char c : host)
            if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.')) return false;
        return true;
    }
    int parts = 0;
    std::size_t i = 0;
    while (i <= host.size()) {
        std::size_t end = host.find('.', i);
        if (end == std::string_view::npos) end = host.size();
        const std::string_view part = host.substr(i, end - i);
        if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
        int v = 0;
        for (char c : part) {
            if (c < '0' || c > '9') return false;
            v = v * 10 + (c - '0');
        }
        if (v > 255 || ++parts > 4) return false;
        i = end + 1;
    }
    return parts == 4;
}
}  // namespace

std::string normalHost(std::string_view host) {
    if (alreadyNormal(host)) return std::string(host);
    std::string decoded;
    if (host.find('%') != std::string_view::npos && !host.starts_with('[')) {
        if (std::optional<std::string> d = percentDecoded(host)) decoded = std::move(*d);
        else decoded.assign(host);
        host = decoded;
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.ends_with('.')) host.remove_suffix(1);
    if (const std::optional<NetAddress> a = NetAddress::parse(host)) return a->text();
    if (const std::optional<NetAddress> a = numericIPv4(host)) return a->text();
    const bool ascii = std::all_of(host.begin(), host.end(), [](char c) { return (c & 0x80) == 0; });
    if (!ascii) {
        const std::string name(host);
        char *label = nullptr;
        if (idn2_to_ascii_8z(name.c_str(), &label, IDN2_NONTRANSITIONAL) == IDN2_OK && label) {
            std::string out = lowercase(label);
            idn2_free(label);
            if (out.ends_with('.')) out.pop_back();
            return out;
        }
        idn2_free(label);
    }
    return lowercase(host);
}

Result<AddressList> AddressList::parse(std::string_view text, bool names) {
    AddressList list;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ',' || isBlank(text[i]))) ++i;
        std::size_t end = i;
        while (end < text.size() && text[end] != ',' && !isBlank(text[end])) ++end;
        if (end == i) break;
        const std::string_view entry = text.substr(i, end - i);
        i = end;
        std::string_view address = entry;
        int prefix = -1;
        if (const std::size_t slash = entry.find('/'); slash != std::string_view::npos) {
            address = entry.substr(0, slash);
            const std::string_view bits = entry.substr(slash + 1);
            prefix = 0;
            if (bits.empty() || bits.size() > 3) return fail("not an address or range: " + replytext(entry, 60));
            for (char c : bits) {
                if (!isAsciiDigit(c)) return fail("not an address or range: " + replytext(entry, 60));
                prefix = prefix * 10 + (c - '0');
            }
        }
        const std::optional<NetAddress> a = NetAddress::parse(address);
        if (!a) {
            if (names && prefix < 0 && isHostName(entry)) {
                list.names_.push_back(normalHost(entry));
                continue;
            }
            return fail("not an address or range: " + replytext(entry, 60));
        }
        const int width = a->isV4() ? 32 : 128;
        if (prefix > width) return fail("not an address or range: " + replytext(entry, 60));
        if (prefix < 0) prefix = width;
        list.ranges_.push_back({*a, (a->isV4() ? 96 : 0) + prefix});
    }
    return list;
}

bool AddressList::contains(const NetAddress &a) const {
    for (const Range &r : ranges_)
        if (samePrefix(a.bytes(), r.base.bytes(), r.prefix)) return true;
    return false;
}

bool AddressList::namesHost(std::string_view host) const {
    const std::string h = normalHost(host);
    for (const std::string &n : names_)
        if (n == h) return true;
    return false;
}

bool ServerPolicy::own(const NetAddress &a) const {
    for (const NetAddress &o : own_)
        if (o == a) return true;
    return false;
}

bool ServerPolicy::allows(const NetAddress &a, int port, bool byName) const {
    const bool local = a.isLoopback() || a.isUnspecified() || own(a);
    // Never to one of our own listeners, whatever is allowed: that would be a loop.
    if (local && std::find(listenPorts_.begin(), listenPorts_.end(), port) != listenPorts_.end())
        return false;
    if (byName || allowed_.contains(a)) return true;
    return !(local || a.isLinkLocal() || a.isMulticast() || a.isPrivate());
}

}  // namespace common
