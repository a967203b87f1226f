// Reading a fetched message (GMime): what the window shows of it and the addresses its delivery
// needs. GMime is used for reading only: it re-folds and re-encodes headers when it writes, so the
// message that is delivered is always the raw text, never GMime's rendering of it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace morrent {

// Shown in the window for the last delivered message; UTF-8.
struct MessageSummary {
    std::string from;     // the From field in display form ("Ann Example <ann@example.org>")
    std::string subject;  // RFC 2047 decoded
    std::string body;     // the first text/plain part that is not an attachment, transfer-decoded
                          // and converted from its charset
};

// Reads at most the first `summaryLimit` bytes: a huge message is shown by its beginning only,
// without another whole copy of it in memory.
constexpr std::size_t summaryLimit = std::size_t(1) << 20;
MessageSummary readMessage(std::string_view raw);

// The header block: everything before the first empty line (without that line), or the whole text
// when there is no empty line.
std::string_view headerBlock(std::string_view raw);

// The values of every field called `name` (any case) in a header block, in order, folding undone
// (a line break before a blank or tab is removed), without the leading blanks.
std::vector<std::string> headerValues(std::string_view header, std::string_view name);

// The mail addresses (local@domain) of the mailboxes in an address field value; members of a group
// count as mailboxes. Unparsable parts are skipped.
std::vector<std::string> mailboxes(std::string_view value);

// The addresses a message is mailed from and to when the MTA is handed it directly.
struct Envelope {
    std::string sender;                   // Return-Path's address, else the first From address;
                                          // "" is the null sender
    std::vector<std::string> recipients;  // To and Cc, in order, duplicates removed
};
Envelope envelopeOf(std::string_view raw);

}  // namespace morrent
