// The history of morrent's runs: a record's line and back, what a damaged file still gives, and
// the bound on the file, on a real file system.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "morrent/runhistory.h"

using namespace morrent;
namespace fs = std::filesystem;

namespace {

RunRecord run(int n, std::string outcome = "ok") {
    return {utcTime(1765260000 + n), "pop.example.org:110", "alice", n, n, 0, std::move(outcome)};
}

std::string fileText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
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
    const RunRecord longer = *parseRecord(recordText(run(2, std::string(300, 'x'))));
    EXPECT_EQ(longer.outcome.size(), outcomeLimit);
    EXPECT_EQ(longer.outcome.substr(outcomeLimit - 3), "...");
}

TEST(RunHistory, DamagedLinesArePassedOver) {
    const std::string good = recordText(run(1));
    const std::string text = "tessaruno morrent history 1\n" + good + "\n" +
                             "2025-12-09T06:00:0\tpop\talice\t1\t1\t0\tok\n" +  // a cut time
                             "2025-12-09T06:00:02Z\tpop\talice\t1\tx\t0\tok\n" +  // no count
                             "2025-12-09T06:00:02Z\tpop\talice\t1\t1\t0\n" +      // a field short
                             "2025-12-09T06:00:02Z\tpop%4\talice\t1\t1\t0\tok\n" + // a cut escape
                             "\n" + recordText(run(2)) + "\n" +
                             recordText(run(3));  // cut off while it was written
    const std::vector<RunRecord> records = parseHistory(text);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], run(1));
    EXPECT_EQ(records[1], run(2));
}

TEST(RunHistory, FileKeepsTheLastRunsAndPrintsThem) {
    char tmpl[] = "/tmp/morrent-history-XXXXXX";
    const std::string folder = std::string(mkdtemp(tmpl)) + "/state";
    EXPECT_TRUE(readHistory(folder)->empty());  // none yet
    for (int n = 1; n <= 5; ++n) ASSERT_TRUE(appendRun(folder, run(n), 3));
    const std::vector<RunRecord> kept = *readHistory(folder);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept.front(), run(3));
    EXPECT_EQ(kept.back(), run(5));
    struct stat st {};
    ASSERT_EQ(::stat(historyPath(folder).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(fs::exists(historyPath(folder) + ".new"));

    // A line a killed run cut short stays apart from the next one.
    std::ofstream(historyPath(folder), std::ios::app) << "2025-12-09T06:0";
    ASSERT_TRUE(appendRun(folder, run(6, "busy"), 10));
    EXPECT_EQ(readHistory(folder)->back(), run(6, "busy"));
    EXPECT_EQ(readHistory(folder)->size(), 4u);

    const std::string table = historyTable(*readHistory(folder));
    std::istringstream lines(table);
    std::string head, first;
    std::getline(lines, head);
    std::getline(lines, first);
    EXPECT_EQ(head.substr(0, 4), "time");
    EXPECT_EQ(head.substr(head.size() - 7), "outcome");
    EXPECT_EQ(first.substr(0, 20), run(3).time);
    EXPECT_EQ(first.substr(first.size() - 2), "ok");
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 5);
    EXPECT_NE(fileText(historyPath(folder)).find("tessaruno morrent history 1\n"), std::string::npos);
    fs::remove_all(fs::path(folder).parent_path());
}
