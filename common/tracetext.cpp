#include "common/tracetext.h"

#include <algorithm>
#include <cstring>

#include "common/asciitext.h"

namespace common {

namespace {

// Each byte's shown form (one to four characters) for one set of options. Looking the form up
// instead of deciding it byte by byte keeps binary data, where the decision changes from byte to
// byte, as fast to escape as text.
struct ShownForms {
    char text[256][4];
    unsigned char size[256];

    explicit ShownForms(EscapeOptions options) {
        static constexpr char hex[] = "0123456789abcdef";
        for (int b = 0; b < 256; ++b) {
            const char c = char(b);
            const bool lineend = c == '\r' || c == '\n';
            char *t = text[b];
            if ((b >= 0x20 && b < 0x7f) || (b >= 0x80 && options.keephigh) ||
                (lineend && options.keeplineends)) {
                t[0] = c;
                size[b] = 1;
            } else if (c == '\r' || c == '\n' || c == '\t') {
                t[0] = '\\';
                t[1] = c == '\r' ? 'r' : c == '\n' ? 'n' : 't';
                size[b] = 2;
            } else {
                t[0] = '\\';
                t[1] = 'x';
                t[2] = hex[b >> 4];
                t[3] = hex[b & 0xf];
                size[b] = 4;
            }
        }
    }
};

}  // namespace

std::string escapecontrols(std::string_view text, EscapeOptions options) {
    static const ShownForms forms[4] = {
        ShownForms({.keephigh = false, .keeplineends = false}),
        ShownForms({.keephigh = true, .keeplineends = false}),
        ShownForms({.keephigh = false, .keeplineends = true}),
        ShownForms({.keephigh = true, .keeplineends = true})};
    const ShownForms &f = forms[(options.keephigh ? 1 : 0) + (options.keeplineends ? 2 : 0)];
    // Room for the longest form of every byte; each form is copied whole (four characters) and
    // the end moves on by its real size.
    std::string out(text.size() * 4, '\0');
    char *end = out.data();
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        std::memcpy(end, f.text[byte], 4);
        end += f.size[byte];
    }
    out.resize(size_t(end - out.data()));
    return out;
}

SecretMask::SecretMask(const std::vector<Word> &words) : words_(&words), deciding_(!words.empty()) {
    for (const Word &w : words)
        if (w.linesAfter > 0) hidesFollowingLines_ = true;
}

void SecretMask::startLine() {
    head_.clear();
    deciding_ = words_ && !words_->empty();
    marked_ = false;
    hiding_ = false;
    if (linesLeft_ > 0) {
        --linesLeft_;
        hiding_ = true;
        deciding_ = false;
    }
}

void SecretMask::decide(std::string &out, bool shown) {
    // The head either is one of the words, can no longer become one, or is still too short.
    for (const Word &w : *words_) {
        // The head grows a byte at a time, so it matches a word exactly when it does.
        if (equalNoCase(head_, w.text)) {
            if (shown) out += head_;
            hiding_ = true;
            deciding_ = false;
            linesLeft_ = w.linesAfter;
            return;
        }
    }
    for (const Word &w : *words_)
        if (startsNoCase(w.text, head_)) return;  // may still become this word
    if (shown) out += head_;
    deciding_ = false;
}

std::string SecretMask::apply(std::string_view chunk, size_t tail) {
    // Bytes before `cut` are followed but not shown.
    const size_t cut = tail < chunk.size() ? chunk.size() - tail : 0;
    std::string out;
    out.reserve(chunk.size() - cut + 8);
    size_t k = 0;
    if (cut > 0 && !hidesFollowingLines_) {
        // Every line starts afresh when no word hides the lines after it: what comes before the
        // last line end ahead of the cut cannot change what is shown, and is skipped.
        if (const void *nl = ::memrchr(chunk.data(), '\n', cut)) {
            k = size_t(static_cast<const char *>(nl) - chunk.data()) + 1;
            pendingCR_ = false;
            linesLeft_ = 0;
            startLine();
        }
    }
    while (k < chunk.size()) {
        if (deciding_) {
            const char c = chunk[k];
            const bool shown = k >= cut;
            ++k;
            if (c == '\n') {
                if (shown) out.append(head_).append(1, c);
                startLine();
                continue;
            }
            head_ += c;
            decide(out, shown);
            if (!deciding_) head_.clear();
            continue;
        }
        // The rest of the line: shown as it is or hidden, up to and with its line feed.
        const void *nl = std::memchr(chunk.data() + k, '\n', chunk.size() - k);
        const size_t end = nl ? size_t(static_cast<const char *>(nl) - chunk.data()) : chunk.size();
        const size_t lineEnd = nl ? end + 1 : end;
        if (hiding_) {
            // The CR of a CR LF stays, so the trace keeps its lines; a CR at the end of a chunk
            // waits to see whether a line feed follows.
            if (pendingCR_) {
                pendingCR_ = false;
                if (nl && end == k) {
                    if (k >= cut) out += '\r';
                } else if (!marked_) {
                    if (k >= cut) out += "***";
                    marked_ = true;
                }
            }
            size_t secretEnd = end;
            if (secretEnd > k && chunk[secretEnd - 1] == '\r') {
                --secretEnd;
                pendingCR_ = !nl;
            }
            if (secretEnd > k && !marked_) {
                if (secretEnd > cut) out += "***";
                marked_ = true;
            }
            const size_t from = std::max(secretEnd, cut);
            const size_t upto = pendingCR_ ? secretEnd : lineEnd;
            if (upto > from) out.append(chunk.data() + from, upto - from);
        } else {
            const size_t from = std::max(k, cut);
            if (lineEnd > from) out.append(chunk.data() + from, lineEnd - from);
        }
        if (!nl) break;
        k = lineEnd;
        startLine();
    }
    return out;
}

namespace {
// What ends the authority of an address, or any text that was no address after all.
constexpr bool endsAuthority(char c) {
    return c == '/' || c == '?' || c == '#' || c == ' ' || c == '\t' || c == '\r' || c == '\n' ||
           c == '"' || c == '\'' || c == '<' || c == '>';
}
}  // namespace

void AddressPasswordMask::flush(std::string &out) {
    // A password stands between the first ":" and the last "@" of an authority.
    const std::size_t at = held_.rfind('@');
    const std::size_t colon = held_.find(':');
    if (at != std::string::npos && colon < at)
        out.append(held_, 0, colon + 1).append("***").append(held_, at);
    else
        out.append(held_);
    held_.clear();
}

std::string AddressPasswordMask::apply(std::string_view chunk) {
    std::string out;
    out.reserve(chunk.size() + 8);
    for (const char c : chunk) {
        if (authority_) {
            if (endsAuthority(c)) {
                if (!hiding_) flush(out);
                hiding_ = authority_ = false;
                out += c;
            } else if (hiding_) {
                // dropped, up to the end of the authority
            } else if (held_.size() < kMaxAuthority) {
                held_ += c;
            } else if (const std::size_t colon = held_.find(':'); colon != std::string::npos) {
                // Too long to wait for: a password may stand in it, so all after its ":" goes.
                out.append(held_, 0, colon + 1).append("***");
                held_.clear();
                hiding_ = true;
            } else {
                // No ":" in so long a start: no password in it.
                flush(out);
                authority_ = false;
                out += c;
            }
            continue;
        }
        out += c;
        scheme_ = c == ':' ? 1 : (c == '/' && scheme_ > 0 && scheme_ < 3) ? scheme_ + 1 : 0;
        if (scheme_ == 3) {
            scheme_ = 0;
            authority_ = true;
        }
    }
    return out;
}

SecretMask pop3ClientMask() {
    static const std::vector<SecretMask::Word> words{{"PASS ", 0}, {"APOP ", 0}, {"AUTH ", 2}};
    return SecretMask(words);
}

SecretMask httpClientMask() {
    static const std::vector<SecretMask::Word> words{{"authorization:", 0},
                                                     {"proxy-authorization:", 0}};
    return SecretMask(words);
}

}  // namespace common
