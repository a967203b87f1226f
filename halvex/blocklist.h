// Editing the block list from the proxy window: the entry field and its buttons, and a double-click
// on the URL log. Entries are compared ignoring case, as the filters do. A blank entry (empty or
// spaces only) would match every request and every page, so none of these ever adds one.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvex {

struct AddResult {
    bool added;
    std::string field;  // the entry field's text afterwards: emptied once the entry is in the list
};

// An entry as the list keeps it: one that is a host, or a host and a port, in the one written
// form the CONNECT check compares (no final dot, an IPv4-mapped address as IPv4, IPv6 as
// inet_ntop writes it; the case as typed, since every comparison ignores it); anything else (a
// host and a path, a word) as it is.
std::string normalEntry(std::string_view entry);

// "add": the typed text, less a leading lower-case "http://" and one trailing "/", is appended
// unless the list already holds it. The case the user typed is kept.
AddResult addurl(std::vector<std::string> &block, std::string_view field);

// "Remove": takes the selected entry out and returns it for the entry field, so it can be corrected
// and added again. Nothing selected (-1) or an index past the end: no change, and nullopt (the
// entry field keeps its text).
std::optional<std::string> removeurl(std::vector<std::string> &block, int selected);

enum class Edit { unchanged, replaced, removed };

// "AutoFormat": cuts the selected entry down to its host ("http://" in any case goes, and
// everything from the first "/"). If the host is already another entry, the selected one goes.
Edit autoformat(std::vector<std::string> &block, int selected);

// Double-click on a URL log entry ("client: http://host/path"): its address, lower-cased, less
// "http://" and one trailing "/", is appended unless already there. The path stays. A logged
// CONNECT ("client: CONNECT host:443") gives its host.
bool blockloggedurl(std::vector<std::string> &block, std::string_view logentry);

// The entries of a file to import: one host a line, or hosts-file lines ("0.0.0.0 ads.example",
// every name after the address). "#" starts a comment; the names a hosts file gives the machine
// itself (localhost and the like) are left out, and so is a leading "http://" and a trailing "/".
std::vector<std::string> blockfileentries(std::string_view text);

// Appends the entries the list does not hold yet (ignoring case, once each); how many went in.
std::size_t importentries(std::vector<std::string> &block, const std::vector<std::string> &entries);

// The stored block list: one entry a line, in the list's order.
std::string blocklisttext(const std::vector<std::string> &block);
std::vector<std::string> readblocklist(std::string_view text);

}  // namespace halvex
