// The command line of morrent: how it is cut into pieces, how many pieces choose which mode, and
// how the delete flag is read.
//
//   morrent                                                    the window, with the stored settings
//   morrent POPSERVER LOGIN PASSWORD DELETEFLAG [FORWARDADDRESS] one download, no window
//   morrent --password-file FILE POPSERVER LOGIN DELETEFLAG [FORWARDADDRESS]
//                                                              the same, the password from FILE
//   morrent --password-command CMD POPSERVER LOGIN DELETEFLAG [FORWARDADDRESS]
//                                                              the same, the password (or an
//                                                              access token) from what CMD prints
// Any of them may begin with options, in any order, which are not counted: --log-level LEVEL;
// --config FILE, the settings from FILE (name = value lines, as a service reads them) in place
// of the per-user store, which this run then neither reads nor writes; and --check-config: the
// settings (the stored values, and those the rest of the line gives) read as a start would, each
// problem printed on a line of its own, nothing connected; status 0 or 1.
//
// The arguments are joined by single blanks and the result is split at every single blank, so an
// argument that holds a blank counts as two, an empty argument adds an empty piece, and a trailing
// blank gives an empty last piece. In the password-file form FILE is the argument after the
// option, taken whole, and the arguments after it are joined and split the same way; so is CMD.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/log.h"
#include "common/result.h"

namespace morrent {

std::string joinArguments(const std::vector<std::string> &arguments);

// "" gives no pieces; two blanks in a row give an empty piece between them.
std::vector<std::string> splitArguments(std::string_view line);

enum class StartMode {
    window,       // no pieces
    commandLine,  // four or five pieces: download at once, invisibly
    wrongCount,   // any other count: end at once, nothing connected or stored
};
StartMode startMode(std::size_t pieces);

// A number as a person types it (blanks or tabs around it, a sign, digits, a fraction, an
// exponent), rounded half to even to a 16-bit integer; nullopt when it is no number or out of that
// range.
std::optional<int> toint16(std::string_view text);

// The check box value (0 or 1) the command line's delete flag gives: a whole number (blanks or tabs
// around it, a sign, digits) of 1 or more deletes, 0 and negative numbers keep; nullopt for
// anything else ("false", "1.5", "1e3", ""), which is refused: a typo must not delete mail.
std::optional<int> deleteFlag(std::string_view piece);

// The check box value (0 or 1) a stored `deletepopmails` gives: 1 only for a number that rounds
// to 1.
int storedDeleteFlag(std::string_view value);

// How a run from the command line ends: its exit status.
enum ExitStatus : int {
    exitDelivered = 0,  // every message was delivered (and deleted, when asked)
    exitFailed = 1,     // the download failed
    exitUsage = 2,      // a wrong count of arguments
    exitBusy = 3,       // another run is fetching the same mailbox; nothing was connected
};

// The usage lines and the reason given when the count of pieces is wrong.
constexpr const char *usageLine = "morrent POPSERVER LOGIN PASSWORD DELETEFLAG <FORWARDADDRESS>";
constexpr const char *passwordFileUsage =
    "morrent --password-file FILE POPSERVER LOGIN DELETEFLAG <FORWARDADDRESS>";
constexpr const char *passwordCommandUsage =
    "morrent --password-command CMD POPSERVER LOGIN DELETEFLAG <FORWARDADDRESS>";
std::string wrongCountReason(std::size_t pieces);
// The reason given when DELETEFLAG is no whole number. It does not repeat the piece: with a
// password that holds a blank, the fourth piece is half of that password.
std::string badDeleteFlagReason();
// What --help prints.
std::string helpText();

// The command line as the program starts with it.
struct CommandLine {
    StartMode mode = StartMode::window;
    // Command-line mode: server, login, password, delete flag and perhaps the forward address.
    // In the password-file form the password is empty until the file is read.
    std::vector<std::string> pieces;
    std::string passwordFile;        // the password-file form: FILE
    std::string passwordCommand;     // the password-command form: CMD
    bool checkConfig = false;        // --check-config, before the pieces
    std::string configFile;          // --config FILE, before the pieces
    std::string loglevel;            // --log-level LEVEL, given before everything else
    std::string reason;              // wrongCount: why the program ends at once
    int status = exitDelivered;      // wrongCount: its exit status
    // Where the pieces begin among the arguments (past the options), and whether the password is
    // one of them (it is not in the password-file form): what hidePassword needs.
    std::size_t firstPiece = 0;
    bool passwordInPieces = true;
};
// The arguments without the program name; reads no file.
CommandLine parseCommandLine(const std::vector<std::string> &arguments);

// What the program frame asks of the command line: --help, --version or --history alone, and what goes to
// stderr (--log-level, else the stored loglevel). A wrong count of pieces, a delete flag that is no
// whole number, a password file that cannot be used or a wrong --log-level fail without
// `stored`; a wrong stored loglevel only with it.
struct Options {
    bool help = false;
    bool version = false;
    bool history = false;  // --history alone: print the runs kept, and end
    bool checkConfig = false;
    std::string configFile;  // --config FILE; empty: the per-user store
    common::LogLevel logLevel = common::LogLevel::info;
};
// The stored values morrent reads.
std::vector<std::string> storedNames();
// Where a stored value comes from, for a problem's line: "registry value NAME", or with --config
// "FILE:LINE: name".
std::string storedWhere(std::string_view name);
// A problem with a stored value as one line: `why` ("maildrop: not smtp://...", or without the
// name) behind storedWhere(name).
std::string storedProblem(std::string_view name, std::string_view why);
using StoredValue = std::function<std::string(std::string_view)>;
common::Result<Options> parseOptions(const CommandLine &line, const std::vector<std::string> &arguments,
                                     const StoredValue &stored);

// The first line of a password file. A file that group or others may read or write is refused,
// and so is an empty first line or one with a control character.
common::Result<std::string> readPasswordFile(const std::string &path);

// The words of a password command: the text split at blanks and tabs, run as they are, never by
// a shell (no quotes, no variables, no patterns). Empty text: none.
common::Result<std::vector<std::string>> splitPasswordCommand(std::string_view command);
// The password a password command gave: the first line of what it printed (`output`, at most
// maxCommandOutput bytes of it), once it exited with `status` 0 (-1: it crashed). Nothing of the
// output is ever in a reason.
constexpr std::size_t maxCommandOutput = 64 * 1024;
common::Result<std::string> passwordFromCommand(std::string_view output, int status);

// Overwrites the password, the third piece of the arguments from argv[first] on, in the process's
// argument memory, so that ps and /proc/PID/cmdline show "*" in its place. The arguments are laid
// out one after another there; they are moved up over what the password leaves free, and the argv
// pointers follow them.
void hidePassword(int argc, char **argv, int first = 1);

// What main does first of all: the command line read from argv, the password taken out of the
// argument memory, and in the password-file form the file read (a file that cannot be used ends
// the program at once with exitUsage).
CommandLine takeCommandLine(int argc, char **argv);

}  // namespace morrent
