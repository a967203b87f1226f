#include "morrent/cmdline.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/asciitext.h"
#include "common/settings.h"

namespace morrent {

std::string joinArguments(const std::vector<std::string> &arguments) {
    std::string line;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0) line.push_back(' ');
        line.append(arguments[i]);
    }
    return line;
}

std::vector<std::string> splitArguments(std::string_view line) {
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

StartMode startMode(std::size_t pieces) {
    if (pieces == 0) return StartMode::window;
    if (pieces == 4 || pieces == 5) return StartMode::commandLine;
    return StartMode::wrongCount;
}

std::optional<int> toint16(std::string_view text) {
    text = common::trimBlanks(text);

    // Checked by hand first: strtod would also take hex, "inf" and "nan".
    std::size_t i = 0;
    auto digits = [&] {
        std::size_t from = i;
        while (i < text.size() && common::isAsciiDigit(text[i])) ++i;
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

std::optional<int> deleteFlag(std::string_view piece) {
    piece = common::trimBlanks(piece);
    bool negative = false;
    if (!piece.empty() && (piece.front() == '+' || piece.front() == '-')) {
        negative = piece.front() == '-';
        piece.remove_prefix(1);
    }
    if (piece.empty()) return std::nullopt;
    bool zero = true;
    for (char c : piece) {
        if (!common::isAsciiDigit(c)) return std::nullopt;
        zero = zero && c == '0';
    }
    // Any length: only the sign and whether it is zero matter.
    return zero || negative ? 0 : 1;
}

int storedDeleteFlag(std::string_view value) {
    std::optional<int> v = toint16(value);
    return v && *v == 1 ? 1 : 0;
}

std::string wrongCountReason(std::size_t pieces) {
    return "wrong number of arguments (" + std::to_string(pieces) +
           " after splitting at blanks; 4 or 5 wanted): usage: " + usageLine + " or " +
           passwordFileUsage;
}

std::string badDeleteFlagReason() {
    return "DELETEFLAG, the fourth piece after splitting at blanks, is not a whole number (0 keeps "
           "the messages, 1 deletes them); nothing was fetched: usage: " +
           std::string(usageLine) + " or " + passwordFileUsage;
}

CommandLine parseCommandLine(const std::vector<std::string> &given) {
    CommandLine line;
    std::vector<std::string> arguments = given;
    // The options before the pieces, in any order, each once: --check-config, --config FILE,
    // --log-level LEVEL.
    auto refuse = [&line](std::string reason) {
        line.mode = StartMode::wrongCount;
        line.status = exitUsage;
        line.reason = std::move(reason);
        return line;
    };
    bool file = false, level = false;
    while (!arguments.empty()) {
        const std::string &option = arguments[0];
        std::size_t taken = 2;
        if (option == "--check-config" && !line.checkConfig) {
            line.checkConfig = true;
            taken = 1;
        } else if (option == "--config" && !file) {
            if (arguments.size() < 2 || common::trimBlanks(arguments[1]).empty())
                return refuse("--config needs a FILE: name = value lines, as a service reads them");
            line.configFile = arguments[1];
            file = true;
        } else if (option == "--log-level" && !level) {
            if (arguments.size() < 2 || arguments[1].empty())
                return refuse("--log-level needs a LEVEL: error, info or debug");
            line.loglevel = arguments[1];
            level = true;
        } else {
            break;
        }
        arguments.erase(arguments.begin(), arguments.begin() + std::ptrdiff_t(taken));
        line.firstPiece += taken;
    }
    // A delete flag that is no whole number ends the program before anything is fetched or stored.
    auto checkFlag = [&line] {
        if (line.mode != StartMode::commandLine || deleteFlag(line.pieces[3])) return;
        line.mode = StartMode::wrongCount;
        line.status = exitUsage;
        line.reason = badDeleteFlagReason();
        line.pieces.clear();
        line.passwordFile.clear();
    };
    const bool command = !arguments.empty() && arguments[0] == "--password-command";
    if (arguments.empty() || (arguments[0] != "--password-file" && !command)) {
        line.pieces = splitArguments(joinArguments(arguments));
        line.mode = startMode(line.pieces.size());
        if (line.mode == StartMode::wrongCount) {
            line.reason = wrongCountReason(line.pieces.size());
            line.status = exitUsage;
            line.pieces.clear();
        }
        if (line.mode == StartMode::window) line.pieces.clear();
        checkFlag();
        return line;
    }
    line.passwordInPieces = false;
    line.firstPiece += 2;
    std::vector<std::string> rest;
    if (arguments.size() > 2)
        rest = splitArguments(joinArguments({arguments.begin() + 2, arguments.end()}));
    const std::string option = command ? "--password-command CMD" : "--password-file FILE";
    if (arguments.size() < 2 || common::trimBlanks(arguments[1]).empty() ||
        (rest.size() != 3 && rest.size() != 4)) {
        line.mode = StartMode::wrongCount;
        line.status = exitUsage;
        line.reason = arguments.size() < 2 || common::trimBlanks(arguments[1]).empty()
                          ? std::string(command ? "--password-command needs a CMD" : "--password-file needs a FILE")
                          : "wrong number of arguments (" + std::to_string(rest.size()) + " after " +
                                option + "; 3 or 4 wanted)";
        line.reason += std::string(": usage: ") + (command ? passwordCommandUsage : passwordFileUsage);
        return line;
    }
    line.mode = StartMode::commandLine;
    (command ? line.passwordCommand : line.passwordFile) = arguments[1];
    line.pieces = {rest[0], rest[1], std::string(), rest[2]};
    if (rest.size() == 4) line.pieces.push_back(rest[3]);
    checkFlag();
    if (line.mode != StartMode::commandLine) line.passwordCommand.clear();
    return line;
}

common::Result<std::vector<std::string>> splitPasswordCommand(std::string_view command) {
    std::vector<std::string> words;
    for (std::size_t at = 0; at < command.size();) {
        while (at < command.size() && common::isBlank(command[at])) ++at;
        const std::size_t from = at;
        while (at < command.size() && !common::isBlank(command[at])) {
            if (common::isControl(command[at]))
                return common::fail("the password command holds a line break or a control character");
            ++at;
        }
        if (at > from) words.emplace_back(command.substr(from, at - from));
    }
    return words;
}

common::Result<std::string> passwordFromCommand(std::string_view output, int status) {
    if (status < 0) return common::fail("the password command ended without an exit status (a signal)");
    if (status > 0)
        return common::fail("the password command failed (exit status " + std::to_string(status) + ")");
    if (output.size() > maxCommandOutput)
        return common::fail("the password command printed more than " +
                            std::to_string(maxCommandOutput >> 10) + " KiB");
    std::string_view first = output.substr(0, output.find('\n'));
    if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
    if (first.empty()) return common::fail("the password command printed no password");
    for (char c : first)
        if (common::isControl(c) && c != '\t')
            return common::fail("the password command's first line holds a control character");
    return std::string(first);
}

common::Result<Options> parseOptions(const CommandLine &line, const std::vector<std::string> &arguments,
                                     const StoredValue &stored) {
    Options o;
    if (arguments.size() == 1 && (arguments[0] == "--help" || arguments[0] == "--version")) {
        o.help = arguments[0] == "--help";
        o.version = !o.help;
        return o;
    }
    if (arguments.size() == 1 && arguments[0] == "--history") {
        o.history = true;
        return o;
    }
    o.checkConfig = line.checkConfig;
    o.configFile = line.configFile;
    // A check names what is wrong with the download's arguments as one of its problems.
    if (line.mode == StartMode::wrongCount && !line.checkConfig) return common::fail(line.reason);
    std::string level = line.loglevel;
    std::string where = "--log-level";
    if (level.empty() && stored) {
        level = stored("loglevel");
        where = storedWhere("loglevel");
    }
    const std::string_view trimmed = common::trimWhitespace(level);
    if (trimmed.empty()) return o;
    const common::Result<common::LogLevel> parsed = common::parseLogLevel(trimmed);
    if (!parsed) return common::fail(where + ": " + parsed.why());
    o.logLevel = *parsed;
    return o;
}

std::string storedWhere(std::string_view name) {
    if (common::storedSource().where) return common::storedSource().where(name);
    return "registry value " + std::string(name);
}

std::string storedProblem(std::string_view name, std::string_view why) {
    const std::string head = std::string(name) + ": ";
    if (why.substr(0, head.size()) == head) why.remove_prefix(head.size());
    return storedWhere(name) + ": " + std::string(why);
}

std::vector<std::string> storedNames() {
    return {"loglevel",   "maildrop",       "localdomains",    "poptls",    "popauth",
            "passwordcommand", "tlsfingerprint", "popserver", "popuser", "poppasswd",
            "popmapping", "deletepopmails"};
}

common::Result<std::string> readPasswordFile(const std::string &path) {
    auto refuse = [&](std::string reason) -> common::Result<std::string> {
        return common::fail("the password file " + path + " " + reason);
    };
    // O_NONBLOCK: a FIFO or a device would block open() itself, before fstat could refuse it.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return refuse(std::string("cannot be read: ") + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return refuse("is not a regular file");
    }
    if (st.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) {
        ::close(fd);
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        return refuse(std::string("may be read or written by others (mode ") + mode +
                      "): it must be the owner's alone (chmod 600)");
    }
    char buffer[4096];
    std::size_t got = 0;
    while (got < sizeof buffer) {
        ssize_t n = ::read(fd, buffer + got, sizeof buffer - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += std::size_t(n);
    }
    ::close(fd);
    std::string_view text(buffer, got);
    std::size_t nl = text.find('\n');
    if (nl == std::string_view::npos && got == sizeof buffer) {
        std::memset(buffer, 0, sizeof buffer);
        return refuse("has a first line longer than 4095 bytes");
    }
    std::string_view first = text.substr(0, nl);
    if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
    bool usable = !first.empty();
    for (char c : first) usable = usable && !((c >= 0 && c < ' ' && c != '\t') || c == 0x7f);
    if (!usable) {
        std::memset(buffer, 0, sizeof buffer);
        return refuse("holds no usable password on its first line");
    }
    std::string password(first);
    std::memset(buffer, 0, sizeof buffer);
    return password;
}

void hidePassword(int argc, char **argv, int first) {
    // Piece 3 of the arguments joined by blanks lies within one argument: find where.
    int element = -1;
    std::size_t from = 0, to = 0;
    std::size_t piece = 0;
    for (int i = std::max(first, 1); i < argc && element < 0; ++i) {
        if (i > first) ++piece;  // the blank that joins two arguments
        const std::size_t length = std::strlen(argv[i]);
        std::size_t start = 0;
        for (std::size_t k = 0; k <= length; ++k) {
            if (k < length && argv[i][k] != ' ') continue;
            if (piece == 2) {
                element = i;
                from = start;
                to = k;
                break;
            }
            if (k < length) ++piece;
            start = k + 1;
        }
    }
    if (element < 0 || from == to) return;

    bool together = true;
    for (int i = 1; i + 1 < argc; ++i)
        together = together && argv[i] + std::strlen(argv[i]) + 1 == argv[i + 1];
    if (!together) {
        std::memset(argv[element] + from, '*', to - from);
        return;
    }
    // Everything after the password moves up behind a single "*"; the end is cleared.
    char *const end = argv[argc - 1] + std::strlen(argv[argc - 1]) + 1;
    char *const gap = argv[element] + from;
    const std::size_t shift = to - from - 1;
    *gap = '*';
    if (shift == 0) return;
    std::memmove(gap + 1, gap + 1 + shift, std::size_t(end - (gap + 1 + shift)));
    std::memset(end - shift, 0, shift);
    for (int i = element + 1; i < argc; ++i) argv[i] -= shift;
}

CommandLine takeCommandLine(int argc, char **argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    CommandLine line = parseCommandLine(arguments);
    if (line.passwordInPieces) hidePassword(argc, argv, 1 + int(line.firstPiece));
    if (line.passwordFile.empty()) return line;
    common::Result<std::string> password = readPasswordFile(line.passwordFile);
    if (!password) {
        line.mode = StartMode::wrongCount;
        line.status = exitUsage;
        line.reason = password.why();
        line.pieces.clear();
        return line;
    }
    line.pieces[2] = std::move(*password);
    return line;
}

std::string helpText() {
    return std::string("usage: morrent                      the window, with the stored settings\n"
                       "       ") + usageLine + "\n       " + passwordFileUsage + "\n       " +
           passwordCommandUsage +
           "\n"
           "One download with no window: DELETEFLAG 1 (or more) deletes the messages once every\n"
           "one is delivered, 0 (or less) keeps them (and then a message is delivered only once);\n"
           "a DELETEFLAG that is no whole number is refused. FORWARDADDRESS sends every message\n"
           "there. The password file's first line is the password; a file that others may read,\n"
           "or that is no regular file, is refused. CMD, split at blanks and run without a shell,\n"
           "prints the password (or an OAuth access token) on its first line. Exit status:\n"
           "0 delivered, 1 failed, 2 wrong arguments, 3 another run is fetching the same mailbox.\n"
           "These three come first, in any order:\n"
           "  --config FILE      the settings from FILE (name = value lines, # comments; the\n"
           "                     stored names) instead of the per-user store; never written\n"
           "  --check-config     read the settings as a download would, print each problem\n"
           "                     on a line, connect nothing; exit 0 or 1\n"
           "  --log-level LEVEL  what goes to stderr, error, info (the default, a line per\n"
           "                     run and per failed message) or debug\n"
           "  --password-file FILE     the password from the first line of FILE (mode 600)\n"
           "  --password-command CMD   the password or token from the first line CMD prints\n"
           "  --history  print the runs kept in the state folder, oldest first, and exit\n"
           "  --help     print this help and exit\n"
           "  --version  print the version and exit\n";
}

}  // namespace morrent
