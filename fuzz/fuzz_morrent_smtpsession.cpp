// The SMTP client fed arbitrary MTA replies: a message is reported delivered at most once, and
// only after the whole text (and its final dot) went out.
#include "morrent/smtpsession.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const size_t cut = 1 + data[0] % 32;
    std::string_view in(reinterpret_cast<const char *>(data + 1), size - 1);
    morrent::SmtpSession s;
    const std::string head = "From: a@example.org\r\nTo: b@example.org\r\n";
    const std::string rest = "\r\n.line with a dot\r\nbody\r\n";
    std::string sent;
    morrent::SmtpActions a = s.start("a@example.org", {"b@example.org"}, head, rest);
    int delivered = 0;
    for (int steps = 0; steps < 100000; ++steps) {
        sent += a.send;
        if (a.result == morrent::SmtpActions::Result::delivered) {
            ++delivered;
            if (sent.find("\r\n..line with a dot\r\nbody\r\n.\r\n") == std::string::npos) std::abort();
        }
        if (delivered > 1) std::abort();
        if (a.streaming) {
            a = s.more(7);
            continue;
        }
        if (in.empty() || a.close) break;
        std::string_view chunk = in.substr(0, cut);
        in.remove_prefix(chunk.size());
        a = s.feed(chunk);
    }
    return 0;
}
