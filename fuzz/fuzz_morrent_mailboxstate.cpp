// The record of delivered ids read from whatever a crash or a power cut left in the file: an id
// never holds a blank, a written message always has a path, and a line is never counted twice.
#include "morrent/mailboxstate.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    const morrent::RecordContents r = morrent::readRecord(text);
    std::size_t lines = 0;
    for (char c : text) lines += c == '\n';
    if (r.lines != lines) std::abort();
    for (const auto &uid : r.delivered)
        if (uid.empty() || uid.find_first_of(" \n") != std::string::npos) std::abort();
    for (const auto &w : r.unsure) {
        if (w.uid.empty() || w.path.empty() || w.uid.find_first_of(" \n") != std::string::npos)
            std::abort();
        (void)morrent::pickupName(w.path);
    }
    return 0;
}
