// Reading and re-addressing arbitrary message bytes: the reader never fails, and the To
// replacement keeps every byte after the header block as it was received.
#include "morrent/delivery.h"
#include "morrent/message.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view raw(reinterpret_cast<const char *>(data), size);
    (void)morrent::readMessage(raw);
    (void)morrent::envelopeOf(raw);
    (void)morrent::recipientsOf(raw, std::nullopt);
    const morrent::Rewritten r = morrent::replaceTo(raw, "fwd@example.org");
    if (r.restFrom > raw.size()) std::abort();
    if (r.head.find("To: fwd@example.org") == std::string::npos) std::abort();
    const std::string_view header = morrent::headerBlock(raw);
    if (r.restFrom < header.size()) std::abort();
    return 0;
}
