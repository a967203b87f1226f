// Host names, addresses and ports as users, mail clients and settings write them, checked once
// here: whatever passes can go to the resolver or into a socket address, and nothing else can.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"

namespace common {

// A port typed into a box, a setting or an option: decimal digits only, from `low` (1, or 0 where
// "any free port" makes sense) to 65535.
std::optional<int> parsePort(std::string_view text, int low = 1);

// An IPv4 address in dotted form (four decimal parts, each 0..255).
bool isIPv4Literal(std::string_view text);
// An IPv6 address without brackets (hex groups and colons, an IPv4 tail allowed).
bool isIPv6Literal(std::string_view text);
// A DNS name: labels of letters, digits, "-" and "_" joined by dots, at most 253 bytes, no empty
// label (a final dot is allowed), and a last label that is not all digits.
bool isHostName(std::string_view text);

// A host alone: a name, an IPv4 address, or an IPv6 address bare or in brackets (which go). No
// port, no blanks, no control bytes.
std::optional<std::string> parseHost(std::string_view text);

struct HostPort {
    std::string host;  // a name or an address, IPv6 without brackets
    int port = 0;
};
// A host as an address or a Host line writes it: an IPv6 address in brackets.
std::string urlHost(std::string_view host);
// "host:port", "[v6]:port".
std::string hostAndPort(std::string_view host, int port);

// Decimal digits and nothing else (an empty text is none).
bool isDigits(std::string_view text);
// The three-digit status code at the start of a status text ("403 Forbidden"), or -1.
int statusCode(std::string_view text);

// "host", "host:port", "[v6]", "[v6]:port" or a bare IPv6 address (which takes no port); the port
// is defaultPort unless given.
Result<HostPort> parseHostPort(std::string_view text, int defaultPort);

}  // namespace common
