// The programs' log: one line per event on stderr, for the service manager to keep (journald
// takes it from there); the programs write no file of their own. A line is the program's name,
// the event, then key=value fields, so that it greps and parses:
//   quessel: login client=192.168.1.20 user=alice server=pop.example.org tls=yes outcome=ok
// A value with a blank or a quote is quoted; no control byte and no 8-bit byte passes, and no
// password is ever given to it.
//
// When stderr is the journal's stream (systemd sets JOURNAL_STREAM to its device and inode), a
// line starts with its priority instead of the program's name, which the journal keeps anyway:
//   <3>listen outcome="cannot listen on port 8080: address in use"
// (<3> errors, <4> warnings, <6> info, <7> debug), so that `journalctl -p err` finds it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "common/result.h"

namespace common {

// warning: a line the admin should read although nothing failed; shown whenever errors are.
enum class LogLevel { error, warning, info, debug };

Result<LogLevel> parseLogLevel(std::string_view text);
void setLogLevel(LogLevel level);
bool logs(LogLevel level);
// The name in front of every line (set at start); it also looks whether stderr is the journal.
void setLogProgram(std::string_view name);
// Journal lines on or off (tests; the start decides by JOURNAL_STREAM).
void setJournalLines(bool on);
bool journalLines();
// Whether JOURNAL_STREAM names the stream that fd 2 is.
bool stderrIsJournal();
// What a line of this level starts with: "halvex: ", or "<3>" for the journal.
std::string linePrefix(LogLevel level);

// Busy programs: info and debug lines gather (up to 4 KiB, in order, whole lines) and go out with
// one write when flushLogLines() is called, instead of one write each. An error line goes out at
// once, after what was gathered. `later`, when given, is called as a line starts an empty
// gathering: the program flushes a moment after it (appending a line to a file for every
// request added some 6 µs to each of halvex's requests with one client at a time).
void gatherLogLines(bool on, std::function<void()> later = {});
void flushLogLines();

class LogLine {
public:
    LogLine(LogLevel level, std::string_view event);
    ~LogLine();
    LogLine(const LogLine &) = delete;
    LogLine &operator=(const LogLine &) = delete;

    LogLine &field(std::string_view key, std::string_view value);
    LogLine &field(std::string_view key, std::int64_t value);
    LogLine &field(std::string_view key, const char *value) {
        return field(key, std::string_view(value));
    }

    // The line as it stands (tests).
    const std::string &text() const { return line_; }
    // Writes nothing at the end (tests).
    void discard() { on_ = false; }

private:
    bool on_;
    bool urgent_;
    std::string line_;
};

}  // namespace common
