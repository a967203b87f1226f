// A mail client's input before its login, and a server's first bytes, arbitrary and cut where the
// input says. Whatever arrives: a connection is asked for at most once, only to a host name that
// holds no blank or control character, and what goes to the server first is the user part and
// then, byte for byte, what the client sent after its login line.
#include "quessel/loginline.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const size_t cut = 1 + data[0] % 16;
    const size_t split = data[1];  // where client input ends and server input begins
    std::string_view in(reinterpret_cast<const char *>(data + 2), size - 2);
    std::string_view client = in.substr(0, std::min(split * 4, in.size()));
    std::string_view fromServer = in.substr(client.size());

    (void)quessel::user(client);
    (void)quessel::server(client);

    quessel::LoginPolicy policy;
    policy.serverTls = data[0] & 0x80 ? quessel::ServerTls::automatic : quessel::ServerTls::off;
    quessel::LoginRules rules(policy);
    int connects = 0;
    using Phase = quessel::LoginRules::Phase;
    while (!client.empty() && rules.phase() == Phase::beforeLogin) {
        std::string_view piece = client.substr(0, cut);
        client.remove_prefix(piece.size());
        const common::RelayRules::Opening o = rules.open(piece);
        if (o.connect) {
            ++connects;
            if (o.host.empty()) std::abort();
            for (unsigned char c : o.host)
                if (c <= 0x20 || c == 0x7f) std::abort();
        }
    }
    if (connects > 1) std::abort();
    if (rules.phase() != Phase::connecting) return 0;
    const std::string expected = rules.userPart() + rules.held();
    rules.connected();
    while (!fromServer.empty()) {
        std::string_view piece = fromServer.substr(0, cut);
        fromServer.remove_prefix(piece.size());
        const common::RelayRules::Greeting g = rules.greet(piece);
        if (g.kind == common::RelayRules::Greeting::accept) {
            if (g.toServer != expected) std::abort();
            break;
        }
        if (g.kind == common::RelayRules::Greeting::refuse || g.kind == common::RelayRules::Greeting::upgrade)
            break;
        if (g.kind == common::RelayRules::Greeting::send && g.toServer != "CAPA\r\n" &&
            g.toServer != "STLS\r\n")
            std::abort();
    }
    return 0;
}
