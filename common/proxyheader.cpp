#include "common/proxyheader.h"

#include <cstring>
#include <string>

#include "common/asciitext.h"
#include "common/hostport.h"

namespace common {

namespace {

constexpr char kV2Signature[12] = {'\r', '\n', '\r', '\n', '\0', '\r', '\n', 'Q', 'U', 'I', 'T', '\n'};
constexpr std::string_view kV1 = "PROXY ";
constexpr std::size_t kMaxV1 = 107;  // the protocol's own bound, CR LF included

ProxyHeader v1(std::string_view bytes) {
    ProxyHeader h;
    const std::size_t end = bytes.find("\r\n");
    if (end == std::string_view::npos) {
        if (bytes.size() >= kMaxV1 || bytes.find('\n') != std::string_view::npos)
            h.state = ProxyHeader::invalid;
        return h;
    }
    if (end + 2 > kMaxV1) {
        h.state = ProxyHeader::invalid;
        return h;
    }
    h.length = end + 2;
    // "PROXY TCP4 SRC DST SPORT DPORT" or "PROXY UNKNOWN ...": one line that ends in CR LF, and no
    // other line end inside it, or a bare LF would take the client's first line into the header.
    std::string_view line = bytes.substr(kV1.size(), end - kV1.size());
    if (line.find_first_of("\r\n") != std::string_view::npos) {
        h.state = ProxyHeader::invalid;
        return h;
    }
    if (line.substr(0, line.find(' ')) == "UNKNOWN") {
        h.state = ProxyHeader::complete;
        return h;
    }
    std::string_view field[5];
    for (std::string_view &f : field) {
        const std::size_t sp = line.find(' ');
        f = line.substr(0, sp);
        line = sp == std::string_view::npos ? std::string_view() : line.substr(sp + 1);
    }
    const bool v4 = field[0] == "TCP4";
    auto address = [v4](std::string_view text) {
        return v4 ? isIPv4Literal(text) : isIPv6Literal(text);
    };
    const bool sound = (v4 || field[0] == "TCP6") && line.empty() && address(field[1]) &&
                       address(field[2]) && parsePort(field[3], 0) && parsePort(field[4], 0);
    if (sound) h.client = NetAddress::parse(field[1]);
    h.state = h.client ? ProxyHeader::complete : ProxyHeader::invalid;
    return h;
}

ProxyHeader v2(std::string_view bytes) {
    ProxyHeader h;
    if (bytes.size() < 16) return h;
    const auto b = reinterpret_cast<const unsigned char *>(bytes.data());
    const unsigned version = b[12] >> 4, command = b[12] & 0x0f;
    const unsigned family = b[13] >> 4, transport = b[13] & 0x0f;
    const std::size_t len = (std::size_t(b[14]) << 8) | b[15];
    if (version != 2 || command > 1 || 16 + len > kMaxProxyHeader) {
        h.state = ProxyHeader::invalid;
        return h;
    }
    if (bytes.size() < 16 + len) return h;
    h.length = 16 + len;
    h.state = ProxyHeader::complete;
    if (command == 0) return h;  // LOCAL: the balancer's own connection (a health check)
    if (family == 1 && transport == 1 && len >= 12) {
        h.client = NetAddress::fromBytes(b + 16, true);
    } else if (family == 2 && transport == 1 && len >= 36) {
        h.client = NetAddress::fromBytes(b + 16, false);
    } else if (family != 0) {
        // A stream over another family (UNIX) or a datagram: nothing we relay.
        h.state = ProxyHeader::invalid;
    }
    return h;
}

}  // namespace

ProxyHeader parseProxyHeader(std::string_view bytes) {
    if (bytes.size() >= sizeof kV2Signature &&
        std::memcmp(bytes.data(), kV2Signature, sizeof kV2Signature) == 0)
        return v2(bytes);
    if (bytes.size() >= kV1.size() && bytes.substr(0, kV1.size()) == kV1) return v1(bytes);
    ProxyHeader h;
    // Too short to tell yet, or no header at all.
    const std::size_t n1 = std::min(bytes.size(), kV1.size());
    const std::size_t n2 = std::min(bytes.size(), sizeof kV2Signature);
    const bool maybe = bytes.substr(0, n1) == kV1.substr(0, n1) ||
                       std::memcmp(bytes.data(), kV2Signature, n2) == 0;
    if (!maybe) h.state = ProxyHeader::invalid;
    return h;
}

bool startsWithProxySignature(std::string_view bytes) {
    return (bytes.size() >= kV1.size() && bytes.substr(0, kV1.size()) == kV1) ||
           (bytes.size() >= sizeof kV2Signature &&
            std::memcmp(bytes.data(), kV2Signature, sizeof kV2Signature) == 0);
}

}  // namespace common
