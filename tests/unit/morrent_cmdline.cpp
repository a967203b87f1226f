// The command line's rules: cutting it into pieces, the mode each count chooses, how the delete
// flag and a stored deletepopmails are read, the password-file form, and the password taken out of
// the argument memory.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "morrent/cmdline.h"

using namespace morrent;
using Pieces = std::vector<std::string>;

TEST(CommandLine, SplitsAtEverySingleBlank) {
    struct Case {
        const char *line;
        Pieces pieces;
    };
    const Case cases[] = {
        {"", {}},
        {"pop.example.org", {"pop.example.org"}},
        {"a b c d", {"a", "b", "c", "d"}},
        {"a  b", {"a", "", "b"}},                // two blanks: an empty piece between them
        {"a b c d ", {"a", "b", "c", "d", ""}},  // a trailing blank: an empty last piece
        {" ", {"", ""}},
        {"a\tb", {"a\tb"}},  // only the blank separates
    };
    for (const Case &c : cases) EXPECT_EQ(splitArguments(c.line), c.pieces) << '"' << c.line << '"';
}

TEST(CommandLine, ArgumentsAreJoinedBeforeTheyAreSplit) {
    // An argument holding a blank counts as two; an empty argument still adds a piece.
    EXPECT_EQ(splitArguments(joinArguments({"host", "my pass", "1"})),
              (Pieces{"host", "my", "pass", "1"}));
    EXPECT_EQ(splitArguments(joinArguments({"h", "u", "p", "1", ""})),
              (Pieces{"h", "u", "p", "1", ""}));
    // No arguments, or a single empty one, is the window.
    EXPECT_TRUE(splitArguments(joinArguments({})).empty());
    EXPECT_TRUE(splitArguments(joinArguments({""})).empty());
}

TEST(CommandLine, CountChoosesTheMode) {
    const StartMode expected[] = {StartMode::window,      StartMode::wrongCount,
                                  StartMode::wrongCount,  StartMode::wrongCount,
                                  StartMode::commandLine, StartMode::commandLine,
                                  StartMode::wrongCount,  StartMode::wrongCount};
    for (std::size_t n = 0; n < std::size(expected); ++n)
        EXPECT_EQ(startMode(n), expected[n]) << n << " pieces";
    EXPECT_EQ(startMode(1000), StartMode::wrongCount);
}

TEST(CommandLine, NumbersAreRoundedHalfToEvenInto16Bits) {
    struct Case {
        const char *text;
        std::optional<int> value;
    };
    const Case cases[] = {
        {"1", 1},           {"0", 0},        {"-1", -1},    {"+3", 3},      {" 2\t", 2},
        {"0.5", 0},         {"1.5", 2},      {"2.5", 2},    {"-0.5", 0},    {"0.51", 1},
        {".5", 0},          {"1.", 1},       {"1e1", 10},   {"25E-1", 2},   {"32767", 32767},
        {"-32768", -32768}, {"32767.5", {}}, {"32768", {}}, {"-32769", {}}, {"1e400", {}},
        {"", {}},           {"yes", {}},     {"1x", {}},    {"+", {}},      {".", {}},
        {"0x10", {}},       {"inf", {}},     {"nan", {}},   {"--1", {}},    {"1e", {}},
        {"1 2", {}},
    };
    for (const Case &c : cases) EXPECT_EQ(toint16(c.text), c.value) << '"' << c.text << '"';
}

TEST(CommandLine, DeleteFlagIsAWholeNumber) {
    struct Case {
        const char *piece;
        std::optional<int> value;
    };
    const Case cases[] = {
        {"1", 1},         {"2", 1},          {"99999", 1},  {"+1", 1},       {" 1\t", 1},
        {"007", 1},       {"123456789012345678901234567890", 1},
        {"0", 0},         {"-1", 0},         {"-7", 0},     {"-99999", 0},   {"+0", 0},
        {"-0", 0},        {"\t0 ", 0},      {"000", 0},
        // A typo must not delete mail: these are refused.
        {"false", {}},    {"yes", {}},       {"", {}},      {" ", {}},       {"1.5", {}},
        {"0.6", {}},      {"1e3", {}},       {"1.", {}},    {"+", {}},       {"--1", {}},
        {"1 2", {}},      {"0x1", {}},       {"1x", {}},    {"secret", {}},  {"\xd9\xa1", {}},
    };
    for (const Case &c : cases) EXPECT_EQ(deleteFlag(c.piece), c.value) << '"' << c.piece << '"';
}

// A fourth piece that is no whole number ends the program, in every form, before anything is
// fetched, stored or read, and the reason does not repeat it (it may be half a password).
TEST(CommandLine, ADeleteFlagThatIsNoNumberIsRefused) {
    const std::vector<Pieces> wrong = {
        {"pop", "jdoe", "secret", "false"},
        {"pop", "jdoe", "secret", "", "office@example.org"},
        {"pop", "jdoe", "my secret", "1"},  // the blank shifts "secret" into the flag's place
        {"--log-level", "error", "pop", "jdoe", "secret", "yes"},
        {"--password-file", "/etc/pw", "pop", "jdoe", "1.5"},
        {"--log-level", "info", "--password-file", "/etc/pw", "pop", "jdoe", "1e3", "x@y"},
    };
    for (const Pieces &arguments : wrong) {
        SCOPED_TRACE(joinArguments(arguments));
        const CommandLine line = parseCommandLine(arguments);
        EXPECT_EQ(line.mode, StartMode::wrongCount);
        EXPECT_EQ(line.status, exitUsage);
        EXPECT_TRUE(line.pieces.empty());
        EXPECT_TRUE(line.passwordFile.empty());  // not read
        EXPECT_NE(line.reason.find("DELETEFLAG"), std::string::npos) << line.reason;
        EXPECT_NE(line.reason.find("not a whole number"), std::string::npos) << line.reason;
        EXPECT_EQ(line.reason.find("secret"), std::string::npos) << line.reason;
        EXPECT_EQ(line.reason.find('\n'), std::string::npos);
    }
    // Tabs do not split: a flag with tabs around it is still a number.
    const CommandLine line = parseCommandLine({"pop", "jdoe", "secret", "\t-3\t"});
    EXPECT_EQ(line.mode, StartMode::commandLine);
    EXPECT_EQ(line.pieces[3], "\t-3\t");
}

TEST(CommandLine, StoredDeleteFlagChecksOnlyForOne) {
    struct Case {
        const char *value;
        int checked;
    };
    const Case cases[] = {{"1", 1}, {" 1 ", 1}, {"0", 0}, {"", 0}, {"on", 0}, {"2", 0}, {"-1", 0}};
    for (const Case &c : cases)
        EXPECT_EQ(storedDeleteFlag(c.value), c.checked) << '"' << c.value << '"';
}

TEST(CommandLine, WrongCountReasonNamesTheCountAndTheUsage) {
    const std::string reason = wrongCountReason(6);
    EXPECT_NE(reason.find("(6 "), std::string::npos) << reason;
    EXPECT_NE(reason.find(usageLine), std::string::npos) << reason;
}

// ---- the password kept out of the process list ----

namespace {

struct TempFile {
    std::string path;
    TempFile(const std::string &text, unsigned mode) {
        char tmpl[] = "/tmp/morrent-password-XXXXXX";
        int fd = mkstemp(tmpl);
        path = tmpl;
        (void)!write(fd, text.data(), text.size());
        close(fd);
        chmod(path.c_str(), mode);
    }
    ~TempFile() { unlink(path.c_str()); }
};

// An argument area laid out as the kernel lays it out: each argument after the one before.
struct ArgumentArea {
    std::string area;
    std::vector<char *> argv;
    explicit ArgumentArea(const std::vector<std::string> &arguments) {
        for (const auto &a : arguments) area += a + '\0';
        std::size_t at = 0;
        for (const auto &a : arguments) {
            argv.push_back(area.data() + at);
            at += a.size() + 1;
        }
    }
    int argc() const { return int(argv.size()); }
    // What /proc/PID/cmdline would show, NULs as "|".
    std::string shown() const {
        std::string s = area;
        for (char &c : s)
            if (c == '\0') c = '|';
        return s;
    }
};

}  // namespace

TEST(CommandLine, PasswordFileForm) {
    CommandLine line = parseCommandLine({"--password-file", "/etc/pw file", "pop", "jdoe", "0"});
    EXPECT_EQ(line.mode, StartMode::commandLine);
    EXPECT_EQ(line.passwordFile, "/etc/pw file");  // taken whole
    EXPECT_EQ(line.pieces, (Pieces{"pop", "jdoe", "", "0"}));
    line = parseCommandLine({"--password-file", "f", "pop", "jdoe", "1", "office@example.org"});
    EXPECT_EQ(line.pieces, (Pieces{"pop", "jdoe", "", "1", "office@example.org"}));
    // The arguments after FILE are counted as the other forms count theirs.
    line = parseCommandLine({"--password-file", "f", "pop jdoe", "0", ""});
    EXPECT_EQ(line.pieces, (Pieces{"pop", "jdoe", "", "0", ""}));
    for (const Pieces &wrong : {Pieces{"--password-file"}, Pieces{"--password-file", ""},
                                Pieces{"--password-file", "f", "pop", "jdoe"},
                                Pieces{"--password-file", "f", "a", "b", "c", "d", "e"}}) {
        line = parseCommandLine(wrong);
        EXPECT_EQ(line.mode, StartMode::wrongCount);
        EXPECT_EQ(line.status, exitUsage);
        EXPECT_NE(line.reason.find(passwordFileUsage), std::string::npos) << line.reason;
    }
    // The other forms are as they always were.
    line = parseCommandLine({"pop", "jdoe", "secret", "1"});
    EXPECT_EQ(line.mode, StartMode::commandLine);
    EXPECT_EQ(line.pieces, (Pieces{"pop", "jdoe", "secret", "1"}));
    EXPECT_TRUE(line.passwordFile.empty());
    EXPECT_EQ(parseCommandLine({}).mode, StartMode::window);
    line = parseCommandLine({"pop", "jdoe", "my secret", "1", "x"});
    EXPECT_EQ(line.mode, StartMode::wrongCount);
    EXPECT_EQ(line.status, exitUsage);
    EXPECT_EQ(line.reason.find("secret"), std::string::npos);
}

// A leading --log-level is taken off before the pieces are counted, in every form.
TEST(CommandLine, LogLevelComesFirstAndIsNotCounted) {
    CommandLine line = parseCommandLine({"--log-level", "error", "pop", "jdoe", "secret", "1"});
    EXPECT_EQ(line.mode, StartMode::commandLine);
    EXPECT_EQ(line.loglevel, "error");
    EXPECT_EQ(line.pieces, (Pieces{"pop", "jdoe", "secret", "1"}));
    line = parseCommandLine({"--log-level", "debug", "--password-file", "f", "pop", "jdoe", "0"});
    EXPECT_EQ(line.passwordFile, "f");
    EXPECT_EQ(line.pieces, (Pieces{"pop", "jdoe", "", "0"}));
    EXPECT_EQ(parseCommandLine({"--log-level", "info"}).mode, StartMode::window);
    for (const Pieces &wrong : {Pieces{"--log-level"}, Pieces{"--log-level", ""}}) {
        line = parseCommandLine(wrong);
        EXPECT_EQ(line.mode, StartMode::wrongCount);
        EXPECT_EQ(line.status, exitUsage);
    }
    // Only as the first argument: anywhere else it is a piece like any other.
    line = parseCommandLine({"pop", "--log-level", "error", "1"});
    EXPECT_EQ(line.mode, StartMode::commandLine);
    EXPECT_TRUE(line.loglevel.empty());
}

TEST(CommandLine, PasswordFileMustBeTheOwnersAlone) {
    struct Case {
        const char *what;
        std::string text;
        unsigned mode;
        std::optional<std::string> password;
        const char *why;
    } cases[] = {
        {"first line, LF", "S3cret! x\nsecond line\n", 0600, "S3cret! x", ""},
        {"first line, CR LF", "S3cret!\r\n", 0400, "S3cret!", ""},
        {"no line end", "S3cret!", 0600, "S3cret!", ""},
        {"readable by others", "S3cret!\n", 0644, std::nullopt, "(mode 0644)"},
        {"readable by the group", "S3cret!\n", 0640, std::nullopt, "chmod 600"},
        {"writable by the group", "S3cret!\n", 0620, std::nullopt, "others"},
        {"empty", "", 0600, std::nullopt, "no usable password"},
        {"empty first line", "\nS3cret!\n", 0600, std::nullopt, "no usable password"},
        {"a command hidden in it", "S3cret!\rdele 1\n", 0600, std::nullopt, "no usable"},
        {"one long line", std::string(5000, 'x'), 0600, std::nullopt, "longer than"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        TempFile f(k.text, k.mode);
        const common::Result<std::string> read = readPasswordFile(f.path);
        EXPECT_EQ(read ? std::optional<std::string>(*read) : std::nullopt, k.password);
        const std::string why = read.why();
        EXPECT_NE(why.find(k.why), std::string::npos) << why;
        if (!k.password) {
            EXPECT_NE(why.find(f.path), std::string::npos) << why;
        }
        EXPECT_EQ(why.find("S3cret"), std::string::npos) << why;
    }
    EXPECT_NE(readPasswordFile("/nonexistent/pw").why().find("cannot be read"), std::string::npos);
    EXPECT_NE(readPasswordFile("/tmp").why().find("is not a regular file"), std::string::npos);
}

// A FIFO or a device is refused at once: open() must not wait for a writer that never comes.
TEST(CommandLine, PasswordFileThatIsNoRegularFileNeverBlocks) {
    char folder[] = "/tmp/morrent-fifo-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string fifo = std::string(folder) + "/pw";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Should open() block after all, the alarm ends the test process: a failure, not a hang.
    signal(SIGALRM, SIG_DFL);
    alarm(10);
    for (const std::string &path : {fifo, std::string("/dev/null"), std::string("/dev/zero")}) {
        const common::Result<std::string> read = readPasswordFile(path);
        EXPECT_FALSE(read) << path;
        EXPECT_NE(read.why().find(path + " is not a regular file"), std::string::npos) << read.why();
    }
    alarm(0);
    unlink(fifo.c_str());
    rmdir(folder);

    // A link to a regular file is the file.
    TempFile f("S3cret!\n", 0600);
    const std::string link = f.path + ".link";
    ASSERT_EQ(symlink(f.path.c_str(), link.c_str()), 0);
    EXPECT_EQ(*readPasswordFile(link), "S3cret!");
    unlink(link.c_str());
}

TEST(CommandLine, PasswordLeavesTheArgumentMemory) {
    struct Case {
        const char *what;
        std::vector<std::string> argv;
        std::string shown;
        std::vector<std::string> after;  // argv[1..] as the pointers now read them
    } cases[] = {
        {"its own argument", {"morrent", "pop:110", "jdoe", "S3cret!", "0"},
         "morrent|pop:110|jdoe|*|0|||||||", {"pop:110", "jdoe", "*", "0"}},
        {"with a forward address", {"morrent", "pop", "jdoe", "S3cret!", "1", "a@b"},
         "morrent|pop|jdoe|*|1|a@b|||||||", {"pop", "jdoe", "*", "1", "a@b"}},
        {"inside an argument that holds a blank", {"morrent", "pop", "jdoe S3cret!", "0"},
         "morrent|pop|jdoe *|0|||||||", {"pop", "jdoe *", "0"}},
        {"after an empty piece", {"morrent", "pop", "", "S3cret!", "0"},
         "morrent|pop||*|0|||||||", {"pop", "", "*", "0"}},
        {"one character", {"morrent", "pop", "jdoe", "x", "0"}, "morrent|pop|jdoe|*|0|",
         {"pop", "jdoe", "*", "0"}},
        {"an empty password", {"morrent", "pop", "jdoe", "", "0"}, "morrent|pop|jdoe||0|",
         {"pop", "jdoe", "", "0"}},
        {"too few pieces for a password", {"morrent", "pop", "jdoe"}, "morrent|pop|jdoe|",
         {"pop", "jdoe"}},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        ArgumentArea a(k.argv);
        hidePassword(a.argc(), a.argv.data());
        EXPECT_EQ(a.shown(), k.shown);
        std::vector<std::string> after(a.argv.begin() + 1, a.argv.end());
        EXPECT_EQ(after, k.after);
    }
}

// The password is found by its place among the pieces, past the options: what main does first.
TEST(CommandLine, PasswordIsFoundPastTheOptions) {
    struct Case {
        const char *what;
        std::vector<std::string> argv;
        std::string shown;
    } cases[] = {
        {"after --log-level", {"morrent", "--log-level", "error", "pop", "jdoe", "S3cret!", "0"},
         "morrent|--log-level|error|pop|jdoe|*|0|||||||"},
        {"after --log-level, inside an argument",
         {"morrent", "--log-level", "debug", "pop jdoe", "S3cret! 1"},
         "morrent|--log-level|debug|pop jdoe|* 1|||||||"},
        {"a level that looks like pieces", {"morrent", "--log-level", "a b c", "pop", "j", "S3cret!", "1"},
         "morrent|--log-level|a b c|pop|j|*|1|||||||"},
        {"no options", {"morrent", "pop", "jdoe", "S3cret!", "0"}, "morrent|pop|jdoe|*|0|||||||"},
        // No password among the arguments: the delete flag stays as it is.
        {"the password-file form", {"morrent", "--password-file", "/pw", "pop", "jdoe", "1"},
         "morrent|--password-file|/pw|pop|jdoe|1|"},
        {"both options", {"morrent", "--log-level", "info", "--password-file", "/pw", "pop", "j", "0"},
         "morrent|--log-level|info|--password-file|/pw|pop|j|0|"},
        // A check reads the same line: its password leaves the memory all the same.
        {"after --check-config", {"morrent", "--check-config", "pop", "jdoe", "S3cret!", "0"},
         "morrent|--check-config|pop|jdoe|*|0|||||||"},
        {"after --check-config and --log-level",
         {"morrent", "--check-config", "--log-level", "error", "pop", "jdoe", "S3cret!", "0"},
         "morrent|--check-config|--log-level|error|pop|jdoe|*|0|||||||"},
        {"after --config, in any order with the others",
         {"morrent", "--config", "/etc/m.conf", "--check-config", "pop", "jdoe", "S3cret!", "0"},
         "morrent|--config|/etc/m.conf|--check-config|pop|jdoe|*|0|||||||"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        ArgumentArea a(k.argv);
        (void)takeCommandLine(a.argc(), a.argv.data());
        EXPECT_EQ(a.shown(), k.shown);
    }
}

// What the program frame asks: --help and --version only alone, a command line that cannot run
// fails before the settings are read (status 2), a wrong stored loglevel only once they are (1).
TEST(CommandLine, OptionsForTheProgramFrame) {
    const StoredValue none;
    auto stored = [](std::string value) {
        return StoredValue([value](std::string_view name) { return name == "loglevel" ? value : std::string(); });
    };
    auto options = [&](const Pieces &arguments, const StoredValue &value) {
        return parseOptions(parseCommandLine(arguments), arguments, value);
    };
    EXPECT_TRUE(options({"--help"}, none)->help);
    EXPECT_TRUE(options({"--version"}, none)->version);
    // Not alone, --help is a piece like any other: two of them are a wrong count.
    const auto twice = options({"--help", "--version"}, none);
    ASSERT_FALSE(twice);
    EXPECT_NE(twice.why().find("wrong number of arguments (2"), std::string::npos) << twice.why();

    const auto level = options({"--log-level", "loud", "pop", "jdoe", "secret", "1"}, none);
    ASSERT_FALSE(level);
    EXPECT_EQ(level.why().rfind("--log-level: ", 0), 0u) << level.why();
    // The option wins over the stored value, which is then never looked at.
    const auto given = options({"--log-level", "debug", "pop", "jdoe", "secret", "1"}, stored("loud"));
    ASSERT_TRUE(given);
    EXPECT_EQ(given->logLevel, common::LogLevel::debug);

    EXPECT_TRUE(options({"pop", "jdoe", "secret", "1"}, none));
    const auto bad = options({"pop", "jdoe", "secret", "1"}, stored("loud"));
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.why().rfind("registry value loglevel: ", 0), 0u) << bad.why();
    const auto typed = options({}, stored(" error\r\n"));  // as a hand-edited file may hold it
    ASSERT_TRUE(typed);
    EXPECT_EQ(typed->logLevel, common::LogLevel::error);

    // --check-config, first of all: what the rest of the line gets wrong is one of its problems
    // (the check goes on), not a wrong command line.
    const auto check = options({"--check-config", "pop", "jdoe", "secret", "1"}, none);
    ASSERT_TRUE(check);
    EXPECT_TRUE(check->checkConfig);
    EXPECT_EQ(parseCommandLine({"--check-config", "pop", "jdoe", "secret", "1"}).mode, StartMode::commandLine);
    EXPECT_TRUE(options({"--check-config", "pop", "jdoe"}, none));
    EXPECT_EQ(parseCommandLine({"--check-config", "pop", "jdoe"}).mode, StartMode::wrongCount);
    EXPECT_TRUE(options({"--check-config"}, none)->checkConfig);
    EXPECT_FALSE(options({"pop", "jdoe", "secret", "1"}, none)->checkConfig);
    // Anywhere else it is a piece like any other.
    EXPECT_FALSE(options({"pop", "jdoe", "secret", "1", "--check-config"}, none)->checkConfig);

    // --config FILE goes to the frame, which reads FILE in the store's place; without a FILE the
    // command line is wrong.
    EXPECT_EQ(options({"--config", "/etc/m.conf", "pop", "jdoe", "secret", "1"}, none)->configFile, "/etc/m.conf");
    for (const Pieces &bare : {Pieces{"--config"}, Pieces{"--config", " ", "pop", "jdoe", "secret", "1"}}) {
        const auto noFile = options(bare, none);
        ASSERT_FALSE(noFile);
        EXPECT_EQ(noFile.why().rfind("--config needs a FILE", 0), 0u) << noFile.why();
    }
    // --history only alone: anywhere else it is a piece like any other.
    EXPECT_TRUE(options({"--history"}, none)->history);
    EXPECT_FALSE(options({"--history", "pop", "jdoe", "1"}, none)->history);
}

// The password-command form: CMD taken whole like FILE, the password not among the pieces (so
// nothing is hidden in argv), and CMD run as its words, never by a shell.
TEST(CommandLine, PasswordCommandForm) {
    const CommandLine line =
        parseCommandLine({"--password-command", "/usr/bin/oama access alice", "pop", "alice", "0"});
    EXPECT_EQ(line.mode, StartMode::commandLine);
    EXPECT_EQ(line.passwordCommand, "/usr/bin/oama access alice");
    EXPECT_EQ(line.pieces, (Pieces{"pop", "alice", "", "0"}));
    EXPECT_FALSE(line.passwordInPieces);
    for (const Pieces &wrong : {Pieces{"--password-command"}, Pieces{"--password-command", " ", "pop", "a", "0"},
                                Pieces{"--password-command", "cmd", "pop", "a"},
                                Pieces{"--password-command", "cmd", "pop", "a", "yes"}}) {
        SCOPED_TRACE(joinArguments(wrong));
        const CommandLine refused = parseCommandLine(wrong);
        EXPECT_EQ(refused.mode, StartMode::wrongCount);
        EXPECT_TRUE(refused.passwordCommand.empty());
    }
    EXPECT_NE(parseCommandLine({"--password-command"}).reason.find("needs a CMD"), std::string::npos);

    EXPECT_EQ(*splitPasswordCommand("  oama\taccess  'a b' $HOME; "),
              (Pieces{"oama", "access", "'a", "b'", "$HOME;"}));
    EXPECT_TRUE(splitPasswordCommand("")->empty());
    EXPECT_FALSE(splitPasswordCommand("token\nrm -rf /"));
}

TEST(CommandLine, WhatAPasswordCommandGave) {
    EXPECT_EQ(*passwordFromCommand("ya29.a0Af\r\nignored second line\n", 0), "ya29.a0Af");
    EXPECT_EQ(*passwordFromCommand("pass with blanks", 0), "pass with blanks");
    struct Case {
        std::string output;
        int status;
        const char *why;
    } cases[] = {
        {"secret\n", 3, "failed (exit status 3)"},
        {"secret\n", -1, "a signal"},
        {"", 0, "printed no password"},
        {"\nsecret\n", 0, "printed no password"},
        {"sec\x1bret\n", 0, "control character"},
        {std::string(maxCommandOutput + 1, 'x'), 0, "more than 64 KiB"},
    };
    for (const auto &k : cases) {
        const common::Result<std::string> got = passwordFromCommand(k.output, k.status);
        ASSERT_FALSE(got) << k.why;
        EXPECT_NE(got.why().find(k.why), std::string::npos) << got.why();
        EXPECT_EQ(got.why().find("secret"), std::string::npos) << got.why();
    }
}
