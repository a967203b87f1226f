// The history of morrent's runs: a record's line and back, what a damaged file still gives, and
// the bound on the file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "morrent/runhistory.h"

using namespace morrent;
namespace fs = std::filesystem;

namespace {

RunRecord run(int n, std::string outcome = "ok") {
    return {utcTime(1765260000 + n), "pop.example.org:110", "alice", n, n, 0, std::move(outcome)};
}

}  // namespace

TEST(RunHistory, RecordLineRoundTrips) {
    EXPECT_EQ(utcTime(0), "1970-01-01T00:00:00Z");
    const RunRecord plain = run(3);
    EXPECT_EQ(recordText(plain), "2025-12-09T06:00:03Z\tpop.example.org:110\talice\t3\t3\t0\tok");
    // Whatever a server or login holds stays on its one line and in its one field.
    RunRecord odd = run(1, "delivery failed: 550 no\tsuch\r\nuser 100%");
    odd.server = "[::1]:1110";
    odd.login = "al ice|x\x01";
    const std::string line = recordText(odd);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 6);
    EXPECT_EQ(parseRecord(line), odd);
    // A long failure keeps its first words.
    EXPECT_EQ(parseRecord(recordText(run(2, std::string(300, 'x'))))->outcome.size(), outcomeLimit);
}

TEST(RunHistory, DamagedLinesArePassedOver) {
    const std::string good = recordText(run(1));
    const std::string text = "tessaruno morrent history 1\n" + good + "\n" +
                             "2025-12-09T06:00:0\tp\ta\t1\t1\t0\tok\n" +   // a cut time
                             "2025-12-09T06:00:02Z\tp\ta\t1\tx\t0\tok\n" +  // no count
                             "2025-12-09T06:00:02Z\tp\ta\t1\t1\t0\n" +      // a field short
                             "2025-12-09T06:00:02Z\tp%4\ta\t1\t1\t0\tok\n" + // a cut escape
                             "\n" + recordText(run(2)) + "\n" + recordText(run(3));  // the last cut off
    const std::vector<RunRecord> records = parseHistory(text);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], run(1));
    EXPECT_EQ(records[1], run(2));
}

TEST(RunHistory, FileKeepsTheLastRuns) {
    char tmpl[] = "/tmp/morrent-history-XXXXXX";
    const std::string top = mkdtemp(tmpl), folder = top + "/state";
    EXPECT_TRUE(readHistory(folder)->empty());  // none yet
    for (int n = 1; n <= 5; ++n) ASSERT_TRUE(appendRun(folder, run(n), 3));
    EXPECT_EQ(*readHistory(folder), (std::vector<RunRecord>{run(3), run(4), run(5)}));
    EXPECT_EQ(fs::status(historyPath(folder)).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    // A line a killed run cut short stays apart from the next one.
    std::ofstream(historyPath(folder), std::ios::app) << "2025-12-09T06:0";
    ASSERT_TRUE(appendRun(folder, run(6, "busy"), 10));
    EXPECT_EQ(readHistory(folder)->back(), run(6, "busy"));
    EXPECT_EQ(readHistory(folder)->size(), 4u);
    fs::remove_all(top);
}
