#include "common/log.h"

#include <unistd.h>

#include "common/asciitext.h"

namespace common {

namespace {
LogLevel g_level = LogLevel::info;
std::string g_program = "tessaruno";
}  // namespace

Result<LogLevel> parseLogLevel(std::string_view text) {
    if (equalNoCase(text, "error")) return LogLevel::error;
    if (equalNoCase(text, "info")) return LogLevel::info;
    if (equalNoCase(text, "debug")) return LogLevel::debug;
    return fail("not error, info or debug: " + replytext(text, 40));
}

void setLogLevel(LogLevel level) {
    g_level = level;
}

bool logs(LogLevel level) {
    return int(level) <= int(g_level);
}

void setLogProgram(std::string_view name) {
    g_program.assign(name);
}

LogLine::LogLine(LogLevel level, std::string_view event) : on_(logs(level)) {
    if (!on_) return;
    line_.reserve(160);
    line_.append(g_program).append(": ").append(event);
}

LogLine::~LogLine() {
    if (!on_) return;
    line_.push_back('\n');
    // One write a line: lines of one process never interleave.
    std::string_view rest(line_);
    while (!rest.empty()) {
        const ssize_t n = ::write(2, rest.data(), rest.size());
        if (n <= 0) break;
        rest.remove_prefix(std::size_t(n));
    }
}

LogLine &LogLine::field(std::string_view key, std::string_view value) {
    if (!on_) return *this;
    line_.push_back(' ');
    line_.append(key).push_back('=');
    const std::string shown = replytext(value, 400);
    const bool quote = shown.empty() || shown.find_first_of(" \"") != std::string::npos;
    if (!quote) {
        line_.append(shown);
        return *this;
    }
    line_.push_back('"');
    for (char c : shown) {
        if (c == '"' || c == '\\') line_.push_back('\\');
        line_.push_back(c);
    }
    line_.push_back('"');
    return *this;
}

LogLine &LogLine::field(std::string_view key, std::int64_t value) {
    if (!on_) return *this;
    line_.push_back(' ');
    line_.append(key).push_back('=');
    line_.append(std::to_string(value));
    return *this;
}

}  // namespace common
