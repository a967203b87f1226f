// The command-line rules on arbitrary text: splitting and joining give back the same line, a
// download always has four or five pieces and a whole-number delete flag, and a delete flag is
// 0, 1 or refused.
#include "morrent/cmdline.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view line(reinterpret_cast<const char *>(data), size);
    const auto pieces = morrent::splitarguments(line);
    if (morrent::joinarguments(pieces) != line) std::abort();
    (void)morrent::startmode(pieces.size());
    // Read as argv: the password-file form or the others; a download always has its pieces.
    const morrent::CommandLine parsed = morrent::parsecommandline(pieces);
    if (parsed.mode == morrent::StartMode::commandline &&
        ((parsed.pieces.size() != 4 && parsed.pieces.size() != 5) ||
         !morrent::deleteflag(parsed.pieces[3])))
        std::abort();
    if (parsed.mode == morrent::StartMode::wrongcount && parsed.status != morrent::exitUsage)
        std::abort();
    for (const auto &p : pieces) {
        const std::optional<int> flag = morrent::deleteflag(p);
        if (flag && *flag != 0 && *flag != 1) std::abort();
        const int stored = morrent::storeddeleteflag(p);
        if (stored != 0 && stored != 1) std::abort();
        (void)morrent::toint16(p);
    }
    return 0;
}
