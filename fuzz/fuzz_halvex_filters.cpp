// The filters' decisions on arbitrary bytes: a request head read and written on, a response head
// judged, the block list's search (against a plain search of the lowered text), hosts, block-list
// files, chunks, and the escaping of logged text. Input: one byte of switches, block entries
// separated by LF up to a NUL, then the bytes.
#include "common/asciitext.h"
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
        while (!list.empty() && block.size() < 64) {
            size_t lf = list.find('\n');
            block.emplace_back(list.substr(0, lf));
            list = lf == std::string_view::npos ? std::string_view() : list.substr(lf + 1);
        }
    }

    // The search finds exactly what a plain search of the lowered text finds.
    bool plain = false;
    const std::string lowered = common::lowercase(rest);
    for (const std::string &e : block) plain = plain || lowered.find(common::lowercase(e)) != std::string::npos;
    if (halvex::mentionsBlocked(rest, block) != plain) std::abort();

    const std::size_t end = halvex::headEnd(rest);
    const std::string_view head = end == std::string_view::npos ? rest : rest.substr(0, end);
    const std::string marker = (flags & 16) ? "" : "tessaruno";
    halvex::Request request;
    if (!halvex::readRequest(head, request)) {
        const halvex::RequestSettings rq{bool(flags & 1), bool(flags & 2), block, marker};
        const halvex::FilteredRequest r =
            halvex::filterrequest(request, halvex::Onward{request.target, {}, bool(flags & 32)}, rq);
        // Written in its one form: a known method or the token as it came, one blank, the target.
        if (!r.text.ends_with("\r\n\r\n")) std::abort();
        if (r.text.find(' ') == std::string::npos) std::abort();
        const halvex::AbsoluteTarget t = halvex::absoluteTarget(request.target);
        if (t.ok && (t.where.port < 1 || t.where.port > 65535)) std::abort();
    }

    halvex::Response response;
    if (!halvex::readResponse(head, bool(flags & 64), response)) {
        const halvex::ResponseSettings rs{bool(flags & 4), bool(flags & 8), block};
        const halvex::Canned canned = halvex::judgeresponse(response.contenttype, rest, rs);
        if (!(flags & 12) && canned != halvex::Canned::none) std::abort();
    }

    (void)halvex::headerline("Content-Type:", rest);
    (void)halvex::hostblocked(rest, 443, block);
    (void)halvex::blockfileentries(rest);
    halvex::Chunked chunks;
    std::size_t data_bytes = 0;
    const std::size_t taken = chunks.feed(rest, [&](std::string_view d) { data_bytes += d.size(); });
    if (taken > rest.size() || data_bytes > taken) std::abort();
    const std::string shown = halvex::escapecontrols(rest);
    for (unsigned char c : shown)
        if (c < 0x20 || c == 0x7f) std::abort();
    return 0;
}
