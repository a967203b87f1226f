// The command line of morrent: how it is cut into pieces, how many pieces choose which mode, and
// how the delete flag is read.
//
//   morrent                                                    the window, with the stored settings
//   morrent POPSERVER LOGIN PASSWORD DELETEFLAG [FORWARDADDRESS] one download, no window
//
// The arguments are joined by single blanks and the result is split at every single blank, so an
// argument that holds a blank counts as two, an empty argument adds an empty piece, and a trailing
// blank gives an empty last piece.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morrent {

std::string joinarguments(const std::vector<std::string> &arguments);

// "" gives no pieces; two blanks in a row give an empty piece between them.
std::vector<std::string> splitarguments(std::string_view line);

enum class StartMode {
    window,       // no pieces
    commandline,  // four or five pieces: download at once, invisibly
    wrongcount,   // any other count: end at once, nothing connected or stored
};
StartMode startmode(std::size_t pieces);

// A number as a person types it (blanks or tabs around it, a sign, digits, a fraction, an
// exponent), rounded half to even to a 16-bit integer; nullopt when it is no number or out of that
// range.
std::optional<int> toint16(std::string_view text);

// The check box value (0 or 1) the command line's delete flag gives: a number greater than 1, and
// anything that is no 16-bit number, count as 1; 0 and negative numbers leave deletion off.
int deleteflag(std::string_view piece);

// The check box value (0 or 1) a stored `deletepopmails` gives: 1 only for a number that rounds
// to 1.
int storeddeleteflag(std::string_view value);

// How a run from the command line ends: its exit status.
enum ExitStatus : int {
    exitdelivered = 0,  // every message was delivered (and deleted, when asked)
    exitfailed = 1,     // the download failed
    exitusage = 2,      // a wrong count of arguments
    exitbusy = 3,       // another run is fetching the same mailbox; nothing was connected
};

// The usage line and the reason given when the count of pieces is wrong.
constexpr const char *usageline = "morrent POPSERVER LOGIN PASSWORD DELETEFLAG <FORWARDADDRESS>";
std::string wrongcountreason(std::size_t pieces);

}  // namespace morrent
