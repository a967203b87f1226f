#include "common/lines.h"

#include <cstring>

namespace common {

void LineAssembler::clear() {
    std::string().swap(held_);
    skipping_ = false;
    swallowCr_ = false;
}

LineAssembler::Line LineAssembler::next(std::string_view &chunk) {
    Line out;
    if (swallowCr_ && !chunk.empty()) {
        swallowCr_ = false;
        if (chunk.front() == '\r') chunk.remove_prefix(1);
    }
    for (;;) {
        if (chunk.empty()) return out;
        const void *found = std::memchr(chunk.data(), '\n', chunk.size());
        if (!found) {
            if (!skipping_) {
                held_.append(chunk);
                // A CR at the very end may still be the start of a line end.
                const std::size_t length = held_.size() - (held_.back() == '\r' ? 1 : 0);
                if (length > max_) {
                    std::string().swap(held_);
                    skipping_ = true;
                    out.kind = Line::tooLong;
                }
            }
            chunk = {};
            return out;
        }
        const std::size_t lf = std::size_t(static_cast<const char *>(found) - chunk.data());
        std::size_t taken = lf + 1;
        bool lfcr = false;
        const bool crBefore =
            lf > 0 ? chunk[lf - 1] == '\r' : !held_.empty() && held_.back() == '\r';
        if (lfCr_ && !crBefore) {
            if (taken < chunk.size()) {
                if (chunk[taken] == '\r') {
                    ++taken;
                    lfcr = true;
                }
            } else {
                swallowCr_ = true;
            }
        }
        if (skipping_) {
            skipping_ = false;
            chunk.remove_prefix(taken);
            continue;
        }
        std::string_view whole;
        if (held_.empty()) {
            whole = chunk.substr(0, taken);
        } else {
            line_.swap(held_);
            held_.clear();
            line_.append(chunk.substr(0, taken));
            whole = line_;
        }
        chunk.remove_prefix(taken);
        // The end: LF, a CR before it, and (lfCr) a CR after it.
        std::size_t endSize = lfcr ? 2 : 1;
        const std::size_t lfAt = whole.size() - endSize;
        if (!lfcr && lfAt > 0 && whole[lfAt - 1] == '\r') ++endSize;
        out.text = whole.substr(0, whole.size() - endSize);
        out.end = whole.substr(whole.size() - endSize);
        out.kind = out.text.size() > max_ ? Line::tooLong : Line::line;
        if (out.kind == Line::tooLong) out.text = out.end = {};
        return out;
    }
}

}  // namespace common
