// Addresses and address lists for the access rules: who may use a proxy, and where quessel may
// connect. Pure code: addresses are bytes, IPv4 kept as IPv4-mapped IPv6, so that one list
// serves both families and a client on a dual-stack listener matches its IPv4 entry.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace common {

class NetAddress {
public:
    // A literal IPv4 or IPv6 address (IPv6 also in brackets); nothing else.
    static std::optional<NetAddress> parse(std::string_view text);
    static NetAddress fromBytes(const std::uint8_t *bytes, bool v4);

    bool isV4() const;
    const std::array<std::uint8_t, 16> &bytes() const { return bytes_; }
    std::string text() const;

    bool operator==(const NetAddress &o) const { return bytes_ == o.bytes_; }

    // The kinds no proxy should be made to connect to for a stranger.
    bool isLoopback() const;
    bool isUnspecified() const;
    bool isLinkLocal() const;
    bool isMulticast() const;
    // 10/8, 172.16/12, 192.168/16, fc00::/7 (and the broadcast and "this network" ranges).
    bool isPrivate() const;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

// A host as the rules compare it, whoever wrote it how: percent-encoding decoded, ASCII lower
// case, no final dot, an international name as its A-label ("bücher.example" is
// "xn--bcher-kva.example"), every spelling of an IPv4 address as its dotted quad ("2130706433",
// "0x7f.1", "0177.0.0.1" and "::ffff:127.0.0.1" are "127.0.0.1"), IPv6 without brackets as
// inet_ntop writes it. Block entries, CONNECT and absolute targets and the server policy all
// compare hosts this way.
std::string normalHost(std::string_view host);

// A list of addresses and CIDR ranges (and, where allowed, host names), separated by commas or
// blanks: "127.0.0.0/8, ::1 10.0.0.0/8 pop.example.org".
class AddressList {
public:
    // Fails naming the first entry that is neither; host names only when `names` is true.
    static Result<AddressList> parse(std::string_view text, bool names = false);

    bool contains(const NetAddress &a) const;
    // A host name entry equal to `host` (ASCII case ignored, a final dot ignored).
    bool namesHost(std::string_view host) const;
    bool empty() const { return ranges_.empty() && names_.empty(); }
    std::size_t size() const { return ranges_.size() + names_.size(); }

private:
    struct Range {
        NetAddress base;
        int prefix;  // of the 128 bits
    };
    std::vector<Range> ranges_;
    std::vector<std::string> names_;
};

// This machine's own addresses: who may read a status page when nothing else is set.
inline constexpr const char *kLoopback = "127.0.0.0/8, ::1";

// The networks an office uses: who may use the proxies when nothing else is set.
inline constexpr const char *kLocalNetworks =
    "127.0.0.0/8, ::1, 10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16, 169.254.0.0/16, fc00::/7, "
    "fe80::/10";

// Where a relay may connect for its clients: never to the machine itself or to a private
// network unless the admin allowed it, and never to one of its own listeners.
class ServerPolicy {
public:
    ServerPolicy() = default;
    ServerPolicy(AddressList allowed, std::vector<NetAddress> own, std::vector<int> listenPorts)
        : allowed_(std::move(allowed)), own_(std::move(own)), listenPorts_(std::move(listenPorts)) {}

    // A name the admin allowed by name: every address it resolves to may be used.
    bool allowsName(std::string_view host) const { return allowed_.namesHost(host); }
    // Whether a connection to address:port may be made; byName when the name was allowed.
    bool allows(const NetAddress &a, int port, bool byName = false) const;

private:
    bool own(const NetAddress &a) const;
    AddressList allowed_;
    std::vector<NetAddress> own_;
    std::vector<int> listenPorts_;
};

}  // namespace common
