// Reading and re-addressing arbitrary message bytes: the reader never fails, and the To
// replacement keeps every byte after the header block as it was received.
#include "morrent/delivery.h"
#include "morrent/message.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view raw(reinterpret_cast<const char *>(data), size);
    (void)morrent::readmessage(raw);
    (void)morrent::envelopeof(raw);
    (void)morrent::recipientsof(raw, std::nullopt);
    const morrent::Rewritten r = morrent::replaceto(raw, "fwd@example.org");
    if (r.restfrom > raw.size()) std::abort();
    if (r.head.find("To: fwd@example.org") == std::string::npos) std::abort();
    const std::string_view header = morrent::headerblock(raw);
    if (r.restfrom < header.size()) std::abort();
    return 0;
}
