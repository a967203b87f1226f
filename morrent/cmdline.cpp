#include "morrent/cmdline.h"

#include <cmath>
#include <cstdlib>

namespace morrent {

std::string joinarguments(const std::vector<std::string> &arguments) {
    std::string line;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0) line.push_back(' ');
        line.append(arguments[i]);
    }
    return line;
}

std::vector<std::string> splitarguments(std::string_view line) {
    std::vector<std::string> pieces;
    if (line.empty()) return pieces;
    for (;;) {
        std::size_t blank = line.find(' ');
        pieces.emplace_back(line.substr(0, blank));
        if (blank == std::string_view::npos) break;
        line.remove_prefix(blank + 1);
    }
    return pieces;
}

StartMode startmode(std::size_t pieces) {
    if (pieces == 0) return StartMode::window;
    if (pieces == 4 || pieces == 5) return StartMode::commandline;
    return StartMode::wrongcount;
}

std::optional<int> toint16(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);

    // Checked by hand first: strtod would also take hex, "inf" and "nan".
    std::size_t i = 0;
    auto digits = [&] {
        std::size_t from = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
        return i - from;
    };
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t mantissa = digits();
    if (i < text.size() && text[i] == '.') {
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0) return std::nullopt;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        if (digits() == 0) return std::nullopt;
    }
    if (i != text.size()) return std::nullopt;

    const std::string number(text);
    const double value = std::strtod(number.c_str(), nullptr);
    if (!std::isfinite(value)) return std::nullopt;
    const double rounded = std::nearbyint(value);  // the default rounding mode: half to even
    if (rounded < -32768.0 || rounded > 32767.0) return std::nullopt;
    return int(rounded);
}

int deleteflag(std::string_view piece) {
    std::optional<int> value = toint16(piece);
    if (!value || *value > 1) return 1;
    // A negative value is refused by the check box, which stays unchecked.
    return *value == 1 ? 1 : 0;
}

int storeddeleteflag(std::string_view value) {
    std::optional<int> v = toint16(value);
    return v && *v == 1 ? 1 : 0;
}

std::string wrongcountreason(std::size_t pieces) {
    return "wrong number of arguments (" + std::to_string(pieces) +
           " after splitting at blanks; 4 or 5 wanted): usage: " + usageline;
}

}  // namespace morrent
