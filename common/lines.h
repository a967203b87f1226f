// A byte stream cut into lines however its chunks fall, for every line protocol the programs
// speak (POP3 both ways, SMTP, a mail client's login). One rule for line ends: a line ends at LF,
// and a CR just before the LF belongs to its end ("\r\n" or "\n"). One rule for length: a line
// longer than the bound, its end not counted, is too long, whole or cut. Pure code.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace common {

class LineAssembler {
public:
    // lfCr: a CR right after a bare LF is part of that line's end too ("\n\r"), as some old mail
    // clients end their lines.
    explicit LineAssembler(std::size_t maxLine, bool lfCr = false) : max_(maxLine), lfCr_(lfCr) {}

    struct Line {
        enum Kind { none, line, tooLong };
        Kind kind = none;
        std::string_view text;  // without its end
        std::string_view end;   // right behind text
        std::string_view whole() const { return {text.data(), text.size() + end.size()}; }
    };
    // Takes from the front of `chunk` what the next line needs. none: the chunk ran out first, and
    // what it held is kept for the next call. tooLong: once for such a line, whose rest (up to its
    // end) is then skipped. A line's views stay valid until the next call or the chunk's end.
    Line next(std::string_view &chunk);

    // Part of a line is held, waiting for its end.
    bool holding() const { return !held_.empty(); }
    std::string_view held() const { return held_; }
    // Forgets what is held (and a CR that may still be swallowed).
    void clear();
    std::size_t maxLine() const { return max_; }
    // A new bound for the lines after the one being read (a reply reader's bound for one answer).
    void setMaxLine(std::size_t maxLine) { max_ = maxLine; }

private:
    std::size_t max_;
    bool lfCr_;
    bool skipping_ = false;  // inside a line found too long: up to its LF
    bool swallowCr_ = false;  // lfCr: the last line ended in LF at a chunk's end
    std::string held_;
    std::string line_;  // a line that ended outside held_ but began in it
};

}  // namespace common
