// The POP3 engine fed arbitrary server output, cut into chunks where the input says. Whatever the
// server sends: nothing is deleted before every delivered message was made durable, nothing is
// sent once the session is over, the password goes out in the clear only in the PASS command (and, with a
// pinned certificate, never: no TLS comes up here), and a running session always has a deadline.
#include "morrent/pop3session.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {
size_t count(std::string_view text, std::string_view what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

void check(const morrent::Actions &a, bool committed, bool ended) {
    if (ended && !a.send.empty()) std::abort();
    if (!committed && a.send.find("dele ") != std::string::npos) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    morrent::Pop3Session s;
    s.curuser = "alice";
    s.curpass = "Sup3rSecret";
    s.deleteAfter = data[0] & 1;
    const bool deliveryfails = data[0] & 2;
    s.pinned = data[0] & 4;
    s.poptls = data[0] & 8 ? morrent::PopTls::off : morrent::PopTls::automatic;
    // Every way of logging in, with a password or a token.
    s.popauth = morrent::PopAuth(((data[0] >> 4) & 7) % 6);
    s.tokenGiven = data[0] & 0x80;
    const size_t cut = 1 + data[1] % 64;  // chunk length
    std::string_view in(reinterpret_cast<const char *>(data + 2), size - 2);
    s.resetsession();
    bool committed = false, ended = false;
    int steps = 0;
    while (!in.empty() && !ended && ++steps < 100000) {
        std::string_view chunk = in.substr(0, cut);
        in.remove_prefix(chunk.size());
        morrent::Actions a = s.feed(chunk);
        for (int k = 0; k < 64; ++k) {
            check(a, committed, ended);
            if (count(a.send, "Sup3rSecret") != count(a.send, "pass Sup3rSecret\r\n")) std::abort();
            for (const char *login : {"user ", "pass ", "auth ", "apop "})
                if (s.pinned && a.send.find(login) != std::string::npos) std::abort();
            ended = ended || a.ended;
            if (a.deliver) {
                a = s.delivered(!deliveryfails, deliveryfails ? "disk full" : "");
            } else if (a.commit) {
                committed = true;
                a = s.committed(true);
            } else {
                break;
            }
        }
        ended = ended || a.ended;
    }
    if (s.reason().find("Sup3rSecret") != std::string::npos) std::abort();
    if ((s.phase() == morrent::Phase::done) != (s.deadline() == 0)) std::abort();
    check(s.timeout(), committed, true);
    return 0;
}
