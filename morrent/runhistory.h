// The runs of morrent, from the command line and from the window, kept in the state folder (see
// mailboxstate.h) as the file `history` (mode 0600), one line a run, oldest first:
//
//   tessaruno morrent history 1
//   2026-12-09T06:15:02Z	pop.example.org	alice	3	3	3	ok
//   2026-12-09T06:30:01Z	pop.example.org	alice	2	1	0	delivery failed: 550 5.1.1 no such user
//
// The fields, separated by tabs: when the run ended (UTC), the server as it was given, the login,
// the messages it found new, those it delivered and those it deleted, and how it went: "ok",
// "busy" (another run held the mailbox), or why it failed, in a few words. The password is never
// among them. A tab, a line end, another control byte or a "%" in a text is written as %XX. A
// line that does not read as a whole record (a power cut, a hand edit) is passed over.
//
// The file keeps the last historyLimit runs: a run that finds more rewrites it with the last ones
// only, into a new file that then takes its place. A lock beside it (history.lock) keeps two runs
// that end together from losing each other's line.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace morrent {

struct RunRecord {
    std::string time;  // 2026-12-09T06:15:02Z
    std::string server;
    std::string login;
    int found = 0;  // new messages
    int delivered = 0;
    int deleted = 0;
    std::string outcome;  // ok, busy, or the failure
    bool operator==(const RunRecord &) const = default;
};

constexpr std::size_t historyLimit = 1000;
// How long an outcome may be: the failure's first words.
constexpr std::size_t outcomeLimit = 100;

// ISO 8601 in UTC, to the second.
std::string utcTime(std::time_t when);

// A record as its line (without the line end), and back; nullopt for a line that is not one.
std::string recordText(const RunRecord &record);
std::optional<RunRecord> parseRecord(std::string_view line);
// The records of a history file's text, oldest first; the header and damaged lines passed over.
std::vector<RunRecord> parseHistory(std::string_view text);

// The records as a table for a terminal: a header line, then one line a run, oldest first, the
// outcome last (it may be long).
std::string historyTable(const std::vector<RunRecord> &records);

std::string historyPath(const std::string &stateFolder);
// Appends one record to the history in `stateFolder` (made when missing), keeping the last `keep`.
common::Result<void> appendRun(const std::string &stateFolder, const RunRecord &record,
                               std::size_t keep = historyLimit);
// The records kept; none when there is no history yet.
common::Result<std::vector<RunRecord>> readHistory(const std::string &stateFolder);

}  // namespace morrent
