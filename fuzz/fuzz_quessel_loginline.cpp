// A mail client's input before its login, and a server's first bytes, arbitrary and cut where the
// input says. Whatever arrives: a connection is asked for at most once, only to a host name that
// holds no blank or control character, and every byte the client sent after its login line reaches
// the server, in order, behind the user part.
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
    (void)quessel::serverHost(client);

    quessel::Session s;
    int connects = 0;
    std::string afterLogin;  // what the client sent once the login line was taken
    while (!client.empty() && s.phase() != quessel::Session::Phase::Ended) {
        std::string_view piece = client.substr(0, cut);
        client.remove_prefix(piece.size());
        const bool before = s.phase() == quessel::Session::Phase::Greeted;
        quessel::ClientStep step = s.fromClient(piece);
        if (!before) afterLogin += piece;
        if (step.connect) {
            ++connects;
            if (step.host.empty()) std::abort();
            for (unsigned char c : step.host)
                if (c <= 0x20 || c == 0x7f) std::abort();
        }
    }
    if (connects > 1) std::abort();
    if (s.phase() == quessel::Session::Phase::Connecting) {
        const std::string first = s.takeForServer();
        if (first.compare(0, s.userPart().size(), s.userPart()) != 0) std::abort();
        // Bytes that came in later pieces are the tail of what goes to the server.
        if (first.size() < afterLogin.size() ||
            first.compare(first.size() - afterLogin.size(), afterLogin.size(), afterLogin) != 0)
            std::abort();
        while (!fromServer.empty()) {
            std::string_view piece = fromServer.substr(0, cut);
            fromServer.remove_prefix(piece.size());
            quessel::ServerStep st = s.fromServer(piece);
            if (st.kind != quessel::ServerStep::Wait) break;
        }
    }
    return 0;
}
