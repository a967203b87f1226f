// What a trace shows of a stream: cut anywhere, the stream shows the same as in one piece; no
// control byte other than a line end survives escaping; and no text that follows "PASS " on a line
// of its own ever shows.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/tracetext.h"

namespace {

void samePieces(common::SecretMask (*make)(), std::string_view stream, size_t cut) {
    common::SecretMask whole = make(), pieces = make();
    const std::string expected = whole.apply(stream);
    std::string got = pieces.apply(stream.substr(0, cut));
    got += pieces.apply(stream.substr(cut));
    if (got != expected) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const size_t cut = data[0] % size;
    const std::string_view stream(reinterpret_cast<const char *>(data) + 1, size - 1);
    samePieces(common::pop3ClientMask, stream, cut);
    samePieces(common::httpClientMask, stream, cut);

    for (unsigned char c : common::escapecontrols(stream, {.keephigh = true, .keeplineends = true}))
        if ((c < 0x20 && c != '\r' && c != '\n') || c == 0x7f) std::abort();

    // A password planted after the fuzzed bytes, on a line of its own, never shows.
    std::string planted(stream);
    planted += "\r\nPASS \x01planted-secret\x02\r\n";
    common::SecretMask mask = common::pop3ClientMask();
    const std::string shown = mask.apply(planted);
    const auto count = [](std::string_view text) {
        size_t n = 0;
        for (size_t at = text.find("planted-secret"); at != std::string_view::npos;
             at = text.find("planted-secret", at + 1))
            ++n;
        return n;
    };
    if (count(shown) > count(stream)) std::abort();
    return 0;
}
