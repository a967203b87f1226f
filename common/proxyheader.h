// The PROXY protocol (versions 1 and 2) that a load balancer puts in front of a connection it
// passes on, naming the client it came from. Pure code: bytes in, the header's verdict out.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "common/netaddress.h"

namespace common {

struct ProxyHeader {
    enum State { incomplete, complete, invalid };
    State state = incomplete;
    std::size_t length = 0;            // complete: the header's bytes, the connection's follow
    std::optional<NetAddress> client;  // complete: the client; none for a balancer's own check
};

// The longest header we wait for (a v2 header with its extensions stays well below).
inline constexpr std::size_t kMaxProxyHeader = 1024;

ProxyHeader parseProxyHeader(std::string_view bytes);

// Whether bytes begin with a whole PROXY signature ("PROXY " or version 2's twelve bytes): a
// client that is no balancer sending one is lying about where it comes from.
bool startsWithProxySignature(std::string_view bytes);

}  // namespace common
