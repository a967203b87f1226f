// The log's lines as a reader of stderr gets them: fields quoted and cleaned, and lines gathered
// while busy still whole and in order, an error line never held back.
#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "common/log.h"

using namespace common;

namespace {

// stderr into a pipe for the test's length; what() is what has been written so far.
class CapturedStderr {
public:
    CapturedStderr() {
        EXPECT_EQ(::pipe(fds_), 0);
        ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
        saved_ = ::dup(2);
        ::dup2(fds_[1], 2);
    }
    ~CapturedStderr() {
        ::dup2(saved_, 2);
        ::close(saved_);
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    std::string what() {
        char buf[8192];
        ssize_t n;
        while ((n = ::read(fds_[0], buf, sizeof buf)) > 0) got_.append(buf, std::size_t(n));
        return got_;
    }

private:
    int fds_[2];
    int saved_;
    std::string got_;
};

}  // namespace

TEST(LogLine, QuotesAndCleansValues) {
    setLogProgram("halvex");
    LogLine line(LogLevel::error, "request");
    line.field("target", "http://a.example/x y").field("reason", std::string("bad\r\n\"x\"\xff"))
        .field("empty", "").field("bytes", std::int64_t(-5));
    EXPECT_EQ(line.text(), "halvex: request target=\"http://a.example/x y\" reason=\"bad??\\\"x\\\"?\" "
                           "empty=\"\" bytes=-5");
    line.discard();
}

TEST(LogLine, GatheredLinesGoOutWholeInOrderAndBeforeAnError) {
    setLogProgram("halvex");
    setLogLevel(LogLevel::info);
    CapturedStderr err;
    int asked = 0;  // how often the program was asked to flush soon
    gatherLogLines(true, [&asked] { ++asked; });
    LogLine(LogLevel::info, "request").field("n", std::int64_t(1));
    LogLine(LogLevel::info, "request").field("n", std::int64_t(2));
    EXPECT_EQ(err.what(), "");  // held until the program flushes
    EXPECT_EQ(asked, 1);        // once, by the line that began the gathering
    LogLine(LogLevel::error, "failure").field("n", std::int64_t(3));
    EXPECT_EQ(err.what(), "halvex: request n=1\nhalvex: request n=2\nhalvex: failure n=3\n");
    LogLine(LogLevel::info, "request").field("n", std::int64_t(4));
    EXPECT_EQ(asked, 2);
    flushLogLines();
    EXPECT_EQ(err.what().substr(60), "halvex: request n=4\n");
    // Never more than a pipe writes in one piece: a long run of lines goes out as it fills.
    const std::string value(400, 'v');
    const std::size_t size = value.size() + 19;  // "halvex: request v=" and the end of line
    for (int k = 0; k < 12; ++k) LogLine(LogLevel::info, "request").field("v", value);
    EXPECT_EQ(err.what().size(), 80 + (4096 / size) * size);
    // Switched off, what waits goes out and each line is written at once again.
    gatherLogLines(false);
    EXPECT_EQ(err.what().size(), 80 + 12 * size);
    LogLine(LogLevel::info, "request").field("n", std::int64_t(6));
    EXPECT_EQ(err.what().substr(80 + 12 * size), "halvex: request n=6\n");
}

// Into the journal each line starts with its priority and not with the program's name; warnings
// show wherever errors do.
TEST(LogLine, JournalLinesCarryTheirPriority) {
    setLogProgram("halvex");
    setJournalLines(true);
    setLogLevel(LogLevel::debug);
    {
        LogLine e(LogLevel::error, "listen");
        e.field("outcome", "cannot listen on port 8080: address in use");
        EXPECT_EQ(e.text(), "<3>listen outcome=\"cannot listen on port 8080: address in use\"");
        e.discard();
    }
    for (auto [level, prefix] : {std::pair{LogLevel::warning, "<4>"}, std::pair{LogLevel::info, "<6>"},
                                 std::pair{LogLevel::debug, "<7>"}}) {
        LogLine l(level, "note");
        EXPECT_EQ(l.text(), std::string(prefix) + "note");
        l.discard();
        EXPECT_EQ(linePrefix(level), prefix);
    }
    setLogLevel(LogLevel::error);
    EXPECT_TRUE(logs(LogLevel::warning));
    EXPECT_FALSE(logs(LogLevel::info));
    setJournalLines(false);
    EXPECT_EQ(linePrefix(LogLevel::error), "halvex: ");
    setLogLevel(LogLevel::info);
}

// JOURNAL_STREAM names the journal's stream by device and inode: only that stream is it.
TEST(LogLine, JournalStreamIsStderrOnlyWhenBothMatch) {
    struct stat st {};
    ASSERT_EQ(::fstat(2, &st), 0);
    const std::string mine = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    ::setenv("JOURNAL_STREAM", mine.c_str(), 1);
    EXPECT_TRUE(stderrIsJournal());
    for (const std::string &other : {std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1),
                                    std::string("garbage"), mine + "x", std::string()}) {
        ::setenv("JOURNAL_STREAM", other.c_str(), 1);
        EXPECT_FALSE(stderrIsJournal()) << other;
    }
    ::unsetenv("JOURNAL_STREAM");
    EXPECT_FALSE(stderrIsJournal());
}
