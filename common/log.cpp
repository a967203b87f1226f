#include "common/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <algorithm>
#include <charconv>

#include "common/asciitext.h"

namespace common {

namespace {
LogLevel g_level = LogLevel::info;
std::string g_program = "tessaruno";
bool g_journal = false;
bool g_gather = false;
std::string g_gathered;
std::function<void()> g_later;
constexpr std::size_t kGatherMost = 4096;  // what a pipe writes in one piece

void writeAll(std::string_view rest) {
    while (!rest.empty()) {
        const ssize_t n = ::write(2, rest.data(), rest.size());
        if (n <= 0) break;
        rest.remove_prefix(std::size_t(n));
    }
}
}  // namespace

void gatherLogLines(bool on, std::function<void()> later) {
    if (!on) flushLogLines();
    g_gather = on;
    g_later = on ? std::move(later) : std::function<void()>();
}

void flushLogLines() {
    if (g_gathered.empty()) return;
    writeAll(g_gathered);
    g_gathered.clear();
}

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
    if (level == LogLevel::warning) level = LogLevel::error;
    return int(level) <= int(g_level);
}

void setLogProgram(std::string_view name) {
    g_program.assign(name);
    g_journal = stderrIsJournal();
}

void setJournalLines(bool on) {
    g_journal = on;
}

bool journalLines() {
    return g_journal;
}

bool stderrIsJournal() {
    const char *stream = std::getenv("JOURNAL_STREAM");
    if (!stream || !*stream) return false;
    // "DEVICE:INODE", both decimal.
    char *end = nullptr;
    const unsigned long long dev = std::strtoull(stream, &end, 10);
    if (!end || *end != ':') return false;
    const unsigned long long ino = std::strtoull(end + 1, &end, 10);
    if (!end || *end != '\0') return false;
    struct stat st {};
    if (::fstat(2, &st) != 0) return false;
    return (unsigned long long)st.st_dev == dev && (unsigned long long)st.st_ino == ino;
}

std::string linePrefix(LogLevel level) {
    if (!g_journal) return g_program + ": ";
    switch (level) {
    case LogLevel::error: return "<3>";
    case LogLevel::warning: return "<4>";
    case LogLevel::info: return "<6>";
    case LogLevel::debug: return "<7>";
    }
    return "<6>";
}

LogLine::LogLine(LogLevel level, std::string_view event)
    : on_(logs(level)), urgent_(level == LogLevel::error || level == LogLevel::warning) {
    if (!on_) return;
    line_.reserve(160);
    if (g_journal) {
        line_.append(linePrefix(level));
    } else {
        line_.append(g_program).append(": ");
    }
    line_.append(event);
}

LogLine::~LogLine() {
    if (!on_) return;
    line_.push_back('\n');
    // Whole lines a write: lines of one process never interleave.
    if (g_gather && !urgent_) {
        if (g_gathered.size() + line_.size() > kGatherMost) flushLogLines();
        if (line_.size() < kGatherMost) {
            if (g_gathered.capacity() < kGatherMost) g_gathered.reserve(kGatherMost);
            const bool first = g_gathered.empty();
            g_gathered.append(line_);
            if (first && g_later) g_later();
            return;
        }
    }
    flushLogLines();
    writeAll(line_);
}

LogLine &LogLine::field(std::string_view key, std::string_view value) {
    if (!on_) return *this;
    line_.push_back(' ');
    line_.append(key).push_back('=');
    // Most values are plain words: they go in as they are, without a cleaned copy.
    if (!value.empty() && value.size() <= 400 &&
        std::all_of(value.begin(), value.end(),
                    [](char c) { return c > 0x20 && c < 0x7f && c != '"'; })) {
        line_.append(value);
        return *this;
    }
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
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    line_.append(digits, std::size_t(end - digits));
    return *this;
}

}  // namespace common
