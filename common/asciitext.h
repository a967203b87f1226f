// The text rules of the protocols the programs speak: ASCII letters only, whatever the locale, and
// bytes as bytes (a byte above 0x7f is never a letter, a blank or a control byte).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace common {

constexpr char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c + ('a' - 'A')) : c;
}
constexpr char asciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - ('a' - 'A')) : c;
}
constexpr bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
constexpr bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}
constexpr bool isHexDigit(char c) {
    return isAsciiDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
// Below 0x20, and DEL.
constexpr bool isControl(char c) {
    return (c >= 0 && c < ' ') || c == 0x7f;
}
// A space or a tab.
constexpr bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

constexpr bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    return true;
}

constexpr bool startsNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalNoCase(text.substr(0, prefix.size()), prefix);
}

// Where `what` first stands in `text`, in any case; npos when nowhere.
constexpr std::size_t findNoCase(std::string_view text, std::string_view what) {
    if (what.size() > text.size()) return std::string_view::npos;
    for (std::size_t i = 0; i + what.size() <= text.size(); ++i)
        if (equalNoCase(text.substr(i, what.size()), what)) return i;
    return std::string_view::npos;
}

// Lower-cases into a buffer the caller keeps, so that a busy relay does not allocate per chunk.
inline void lowerInto(std::string &out, std::string_view text) {
    out.assign(text);
    for (char &c : out) c = asciiLower(c);
}
inline std::string lowercase(std::string_view text) {
    std::string out;
    lowerInto(out, text);
    return out;
}

// Removes leading and trailing spaces (spaces only: tabs and line ends stay).
constexpr std::string_view trimSpaces(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}
// Removes leading and trailing blanks (spaces and tabs).
constexpr std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

// Removes leading and trailing white space of any kind (blanks, line ends, form feeds), as a
// value typed into a settings file may carry.
constexpr std::string_view trimWhitespace(std::string_view text) {
    auto white = [](char c) { return isBlank(c) || c == '\r' || c == '\n' || c == '\v' || c == '\f'; };
    while (!text.empty() && white(text.front())) text.remove_prefix(1);
    while (!text.empty() && white(text.back())) text.remove_suffix(1);
    return text;
}

// Text from the network made fit to stand inside one line of our own (a reply to a client, a
// status line, a line on stderr): at most `limit` bytes of it, every byte that is not printable
// ASCII shown as "?", so that no line end, escape sequence or 8-bit byte can pass.
std::string replytext(std::string_view text, std::size_t limit = 200);

}  // namespace common
