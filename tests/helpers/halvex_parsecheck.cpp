// What halvex makes of a client's bytes, for the differential test against h11: each file named on
// the command line is one connection's bytes from a client, fed to halvex's rules as one chunk (or
// --bytes: a byte at a time); one line is printed a file:
//   FILE SENT CLIENT RELEASED OTHER
// SENT what the server (the upstream proxy, or with --direct the origins) got, CLIENT what the
// client got, both in hex; RELEASED 1 when halvex ended the connection; OTHER 1 when it took the
// bytes for another protocol than HTTP.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/relaycore.h"
#include "halvex/inspect.h"

namespace {

std::string hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out.empty() ? "-" : out;
}

}  // namespace

int main(int argc, char **argv) {
    bool direct = false, bytewise = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--direct") direct = true;
        else if (a == "--bytes") bytewise = true;
        else files.push_back(a);
    }
    for (const std::string &file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        halvex::ProxySettings settings;
        if (!direct) {
            settings.upstreamHost = "proxy.test";
            settings.upstreamPort = 3128;
        }
        halvex::Inspection rules(settings, 1);
        common::RelayLimits limits;
        common::RelaySlot slot(rules, limits);
        std::string sent, client;
        bool released = false, connected = false;
        auto step = [&](common::RelayEvent::Kind kind, common::Side side, std::string_view bytes) {
            common::RelayEvent e;
            e.kind = kind;
            e.side = side;
            e.bytes = bytes;
            e.room = 1 << 20;
            bool opens = false;
            for (const common::RelayAction &a : slot.step(e)) {
                if (a.kind == common::RelayAction::send)
                    (a.side == common::Side::server ? sent : client).append(a.bytes);
                if (a.kind == common::RelayAction::release) released = true;
                if (a.kind == common::RelayAction::connect) opens = true;
            }
            return opens;
        };
        step(common::RelayEvent::accepted, common::Side::client, {});
        auto feed = [&](std::string_view piece) {
            if (released) return;
            if (step(common::RelayEvent::data, common::Side::client, piece) || !connected) {
                // The server side (re)opens: connected at once, as a quick server would be.
                if (slot.phase() == common::RelaySlot::Phase::connecting) {
                    connected = true;
                    step(common::RelayEvent::connected, common::Side::server, {});
                }
            }
        };
        if (bytewise)
            for (char c : data) feed(std::string_view(&c, 1));
        else
            feed(data);
        std::printf("%s %s %s %d %d\n", file.c_str(), hex(sent).c_str(), hex(client).c_str(),
                    released ? 1 : 0, rules.otherProtocol() ? 1 : 0);
    }
    return 0;
}
