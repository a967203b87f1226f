// The relay's decisions on arbitrary bytes: both filters, header extraction, framing, block-list
// files, the escaping of logged text. Input: one byte of switches, block entries separated by LF up to a
// NUL, then the chunk.
#include "halvex/blocklist.h"
#include "halvex/filters.h"
#include "halvex/httpframe.h"
#include "halvex/inspect.h"
#include "halvex/proxyconst.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    std::string_view rest(reinterpret_cast<const char *>(data + 1), size - 1);
    std::vector<std::string> block;
    if (size_t nul = rest.find('\0'); nul != std::string_view::npos) {
        std::string_view list = rest.substr(0, nul);
        rest.remove_prefix(nul + 1);
        while (!list.empty()) {
            size_t lf = list.find('\n');
            block.emplace_back(list.substr(0, lf));
            list = lf == std::string_view::npos ? std::string_view() : list.substr(lf + 1);
        }
    }
    const std::string marker = (flags & 16) ? "" : "tessaruno";
    halvex::RequestSettings rq{bool(flags & 1), bool(flags & 2), block, marker};
    halvex::FilteredRequest r = halvex::filterrequest(rest, rq);
    // Without the cookie switch the only rewrite is the Accept line, which changes 3 bytes to 7.
    if (!(flags & 1) && r.text.size() < rest.size()) std::abort();

    halvex::ResponseSettings rs{bool(flags & 4), bool(flags & 8), block};
    const halvex::Canned canned = halvex::judgeresponse(halvex::fieldValue(rest, "Content-Type"), rest, rs);
    if (!(flags & 12) && canned != halvex::Canned::none) std::abort();

    (void)halvex::headerline("Content-Type:", rest);
    (void)halvex::hostblocked(rest, 443, block);
    (void)halvex::blockfileentries(rest);
    const halvex::RequestLine line = halvex::requestline(rest);
    if (line.ok && line.target.find(' ') != std::string_view::npos) std::abort();
    const halvex::AbsoluteTarget t = halvex::absoluteTarget(line.target);
    if (t.ok && (t.where.port < 1 || t.where.port > 65535)) std::abort();
    halvex::Chunked chunks;
    if (chunks.feed(rest) > rest.size()) std::abort();
    const std::string shown = halvex::escapecontrols(rest);
    for (unsigned char c : shown)
        if (c < 0x20 || c == 0x7f) std::abort();
    return 0;
}
