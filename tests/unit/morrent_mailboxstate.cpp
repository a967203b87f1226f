// What morrent keeps about a mailbox between runs: the state folder and the names in it, the lock,
// and the record of delivered ids, read back after runs that ended in every way, on a real
// filesystem.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "morrent/delivery.h"
#include "morrent/mailboxstate.h"

using namespace morrent;
namespace fs = std::filesystem;

namespace {

struct TempFolder {
    std::string path;
    TempFolder() {
        char tmpl[] = "/tmp/morrent-state-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempFolder() { fs::remove_all(path); }
};

std::string readfile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writefile(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

unsigned modeof(const std::string &path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 0777;
}

std::size_t count(const std::string &text, const std::string &what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The pickup folder's steps, passed to a record as the deliverer passes them.
struct Journal : PickupJournal {
    UidlRecord &record;
    std::string uid;
    std::function<void()> beforemove;
    explicit Journal(UidlRecord &r) : record(r) {}
    common::Result<void> written(const std::string &path) override { return record.written(uid, path); }
    common::Result<void> moving(std::uint64_t device) override {
        if (beforemove) beforemove();
        return record.moving(device);
    }
    common::Result<void> moved() override { return record.moved(); }
    void astray() override { record.astray(); }
};

// One run's record and pickup folder, with the journal between them; the record is opened
// unless `path` is empty.
struct OneRun {
    UidlRecord record;
    Journal journal{record};
    PickupFolder pickup;
    OneRun(const std::string &path, const std::string &folder) : pickup(folder) {
        if (!path.empty()) {
            EXPECT_EQ(record.open(path).why(), "");
        }
        pickup.setjournal(&journal);
    }
    common::Result<void> deliver(const std::string &uid) {
        journal.uid = uid;
        return pickup.deliver("", "message " + uid);
    }
};

// A call that blocks ends the test process after a few seconds (SIGALRM's default action), a
// failure rather than a hang: a read retried after EINTR would never return.
struct NoHang {
    NoHang() {
        signal(SIGALRM, SIG_DFL);
        alarm(10);
    }
    ~NoHang() { alarm(0); }
};

}  // namespace

TEST(StateFolder, FromTheEnvironment) {
    EXPECT_EQ(statefolder("/x/state", "/home/a"), "/x/state/tessaruno");
    EXPECT_EQ(statefolder("relative", "/home/a"), "/home/a/.local/state/tessaruno");
    EXPECT_EQ(statefolder(nullptr, "/home/a"), "/home/a/.local/state/tessaruno");
    EXPECT_EQ(statefolder("", ""), "");
    EXPECT_EQ(statefolder(nullptr, nullptr), "");

    TempFolder t;
    const std::string folder = t.path + "/a/b/tessaruno";
    EXPECT_EQ(makestatefolder(folder).why(), "");
    EXPECT_EQ(modeof(folder), 0700u);
    EXPECT_EQ(makestatefolder(folder).why(), "");  // already there
    writefile(t.path + "/file", "x");
    EXPECT_NE(makestatefolder(t.path + "/file/tessaruno").why(), "");
}

// Whoever else may write to the state folder could plant links where the lock and the record go.
TEST(StateFolder, OnlyTheUsersOwnAndWritableByNoOneElse) {
    TempFolder t;
    const std::string folder = t.path + "/tessaruno";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    for (unsigned mode : {0770u, 0707u, 0777u, 01777u}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(chmod(folder.c_str(), mode), 0);
        const std::string why = makestatefolder(folder).why();
        EXPECT_NE(why.find(folder), std::string::npos) << why;
        EXPECT_NE(why.find("chmod 700"), std::string::npos) << why;
    }
    // Read by the group is no danger: the services' folder is 0750.
    for (unsigned mode : {0700u, 0750u, 0755u}) {
        ASSERT_EQ(chmod(folder.c_str(), mode), 0);
        EXPECT_EQ(makestatefolder(folder).why(), "") << mode;
    }
    if (geteuid() == 0) {
        ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
        ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
        EXPECT_NE(makestatefolder(folder).why().find("owner 65534"), std::string::npos);
    }
}

TEST(StateFolder, OneNamePerServerAndLogin) {
    EXPECT_EQ(mailboxkey("alice", "POP.Example.org", 110), "alice@pop.example.org:110");
    // The login keeps its case; what does not belong in a file name is escaped.
    EXPECT_EQ(mailboxkey("Al/ice %", "::1", 1110), "Al%2Fice%20%25@%3A%3A1:1110");
    EXPECT_NE(mailboxkey("alice", "pop.example.org", 110), mailboxkey("alice", "pop.example.org", 995));
    EXPECT_NE(mailboxkey("a@b", "c", 110), mailboxkey("a", "b@c", 110));
    const std::string one = mailboxkey(std::string(300, 'x') + "1", "h", 110);
    const std::string two = mailboxkey(std::string(300, 'x') + "2", "h", 110);
    EXPECT_LE(one.size(), 200u);
    EXPECT_NE(one, two);
}

TEST(MailboxLock, OneHolderAtATime) {
    TempFolder t;
    const std::string path = t.path + "/alice@h:110.lock";
    MailboxLock first, second;
    std::string why;
    ASSERT_TRUE(first.take(path));
    EXPECT_EQ(modeof(path), 0600u);
    why = second.take(path).why();
    EXPECT_TRUE(second.busy());
    EXPECT_NE(why.find("another run (pid " + std::to_string(getpid()) + ")"), std::string::npos)
        << why;
    EXPECT_NE(why.find(path), std::string::npos) << why;
    first.release();
    EXPECT_EQ(second.take(path).why(), "");

    // A child that inherits nothing: the lock is freed with the process that held it.
    pid_t child = fork();
    if (child == 0) {
        MailboxLock mine;
        _exit(!mine.take(path) && mine.busy() ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);

    MailboxLock nowhere;
    why = nowhere.take(t.path + "/no/such/folder.lock").why();
    EXPECT_FALSE(nowhere.busy());
    EXPECT_NE(why.find("cannot open the lock"), std::string::npos) << why;
}

// A link planted where a state file goes is never written through: the lock and the record fail
// with a reason that names it, a leftover .uidl.new makes way for a fresh file, and the file a link
// points to is left as it was (or, for a link to nowhere, is not made).
TEST(StateFiles, APlantedLinkIsNeverWrittenThrough) {
    TempFolder t;
    const std::string victim = t.path + "/victim";
    const std::string nowhere = t.path + "/made-through-a-link";
    writefile(victim, "precious\n");
    std::string why;
    for (const std::string &target : {victim, nowhere}) {
        SCOPED_TRACE(target);
        const std::string lock = t.path + "/alice@h:110.lock";
        const std::string record = t.path + "/alice@h:110.uidl";
        fs::remove(lock);
        fs::remove(record);
        ASSERT_EQ(symlink(target.c_str(), lock.c_str()), 0);
        ASSERT_EQ(symlink(target.c_str(), record.c_str()), 0);
        MailboxLock l;
        why = l.take(lock).why();
        EXPECT_FALSE(l.held());
        EXPECT_NE(why.find("cannot open the lock " + lock + ": it is a symbolic link"),
                  std::string::npos)
            << why;
        UidlRecord r;
        why = r.open(record).why();
        EXPECT_NE(why.find("cannot open the record " + record + ": it is a symbolic link"),
                  std::string::npos)
            << why;
        EXPECT_FALSE(r.isopen());
    }
    EXPECT_EQ(readfile(victim), "precious\n");
    EXPECT_FALSE(fs::exists(nowhere));

    // The rewrite of a record whose .uidl.new is a planted link (or a leftover file).
    const std::string path = t.path + "/r.uidl";
    for (bool link : {true, false}) {
        SCOPED_TRACE(link ? "a link" : "a leftover file");
        fs::remove(path);
        UidlRecord r;
        ASSERT_EQ(r.open(path).why(), "");
        for (const char *id : {"a", "b"}) ASSERT_EQ(r.add(id).why(), "");
        if (link)
            ASSERT_EQ(symlink(victim.c_str(), (path + ".new").c_str()), 0);
        else
            writefile(path + ".new", "half a rewrite");
        const std::vector<std::string> onserver = {"a"};
        EXPECT_EQ(r.close(&onserver).why(), "");  // b is forgotten: a rewrite
        EXPECT_EQ(readfile(path), "tessaruno morrent record 1\nd a\n");
        EXPECT_FALSE(fs::is_symlink(path));
        EXPECT_FALSE(fs::exists(fs::symlink_status(path + ".new")));
        EXPECT_EQ(readfile(victim), "precious\n");
    }
}

// Only a regular file serves as a lock or a record: a FIFO there is refused, never waited on.
TEST(StateFiles, WhatIsNoRegularFileIsRefused) {
    TempFolder t;
    const std::string lock = t.path + "/x.lock";
    const std::string record = t.path + "/x.uidl";
    ASSERT_EQ(mkfifo(lock.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(record.c_str(), 0600), 0);
    NoHang guard;
    MailboxLock l;
    std::string why;
    why = l.take(lock).why();
    EXPECT_FALSE(l.held() || l.busy());
    EXPECT_NE(why.find("it is not a regular file"), std::string::npos) << why;
    UidlRecord r;
    EXPECT_NE(r.open(record).why().find("it is not a regular file"), std::string::npos);
    EXPECT_FALSE(r.isopen());
}

TEST(Record, JournalLines) {
    const RecordContents r = readrecord(
        "tessaruno morrent record 1\n"
        "d old1\n"
        "w a /p/tmp/1.morrent\n"
        "w b /p/tmp/2.morrent\n"
        "m\n"
        "c\n"                         // a and b reached new/
        "w c /p/tmp/3.morrent\n"      // written, never moved
        "w d /p/tmp/4 with blank.morrent\n"
        "m\n"                         // c and d are being moved
        "w e /p/tmp/5.morrent\n"      // written after the m: not part of that move
        "garbage \x01 line\n"
        "d two words\n"               // not an id
        "w lonely\n"                  // no path
        "d cut-off");                 // no line end: the write was cut off
    EXPECT_EQ(r.delivered, (std::unordered_set<std::string>{"old1", "a", "b"}));
    ASSERT_EQ(r.unsure.size(), 3u);
    EXPECT_EQ(r.unsure[0].uid, "c");
    EXPECT_TRUE(r.unsure[0].moving);
    EXPECT_EQ(r.unsure[1].path, "/p/tmp/4 with blank.morrent");
    EXPECT_TRUE(r.unsure[1].moving);
    EXPECT_EQ(r.unsure[2].uid, "e");
    EXPECT_FALSE(r.unsure[2].moving);
    EXPECT_EQ(r.lines, 13u);

    // A move into a folder that had gone away counts for nothing.
    const RecordContents astray = readrecord("w a /p/tmp/1.morrent\nm\nx\nd b\n");
    EXPECT_EQ(astray.delivered, (std::unordered_set<std::string>{"b"}));
    EXPECT_TRUE(astray.unsure.empty());
}

TEST(Record, OnlyPickupFilesAreEverRemoved) {
    EXPECT_TRUE(pickupname("/home/a/.local/share/tessaruno/pickup/tmp/1f2e.4711.3.morrent"));
    EXPECT_FALSE(pickupname("/home/a/.bashrc"));
    EXPECT_FALSE(pickupname("/p/new/1.morrent"));
    EXPECT_FALSE(pickupname("/p/tmp/../../etc/x.morrent"));
    EXPECT_FALSE(pickupname("/p/tmp/.morrent"));
    EXPECT_FALSE(pickupname("tmp/1.morrent"));
}

TEST(Record, DeliveredIdsSurviveTheRun) {
    TempFolder t;
    const std::string path = t.path + "/alice@h:110.uidl";
    {
        UidlRecord r;
        ASSERT_EQ(r.open(path).why(), "");
        EXPECT_TRUE(r.delivered().empty());
        EXPECT_EQ(modeof(path), 0600u);
        EXPECT_EQ(r.add("id-1").why(), "");
        EXPECT_EQ(r.add("id-2").why(), "");
        // Without a close, as a killed run leaves it: each line is in the file already.
    }
    UidlRecord again;
    ASSERT_EQ(again.open(path).why(), "");
    EXPECT_EQ(again.delivered(), (std::unordered_set<std::string>{"id-1", "id-2"}));
    EXPECT_EQ(again.close(nullptr).why(), "");

    UidlRecord bad;
    EXPECT_NE(bad.open(t.path + "/no/such/folder.uidl").why().find("cannot open the record"),
              std::string::npos);
}

TEST(Record, IdsNoLongerOnTheServerAreForgotten) {
    TempFolder t;
    const std::string path = t.path + "/r.uidl";
    UidlRecord r;
    ASSERT_EQ(r.open(path).why(), "");
    for (const char *id : {"a", "b", "c"}) ASSERT_EQ(r.add(id).why(), "");
    const std::vector<std::string> onserver = {"a", "c", "new"};
    EXPECT_EQ(r.close(&onserver).why(), "");
    const std::string text = readfile(path);
    EXPECT_EQ(count(text, "\nd "), 2u) << text;
    EXPECT_EQ(text.find("d b\n"), std::string::npos) << text;
    EXPECT_EQ(modeof(path), 0600u);
    EXPECT_FALSE(fs::exists(path + ".new"));

    // Unknown ids on the server (UIDL refused): nothing is forgotten, and a small journal is left
    // as it is.
    UidlRecord again;
    ASSERT_EQ(again.open(path).why(), "");
    ASSERT_EQ(again.add("d").why(), "");
    EXPECT_EQ(again.close(nullptr).why(), "");
    EXPECT_EQ(readfile(path), text + "d d\n");
}

TEST(Record, AGrownJournalIsRewritten) {
    TempFolder t;
    const std::string path = t.path + "/r.uidl";
    UidlRecord r;
    ASSERT_EQ(r.open(path).why(), "");
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(r.written("id" + std::to_string(i), t.path + "/tmp/" + std::to_string(i) + ".morrent").why(), "");
        ASSERT_EQ(r.moving(0).why(), "");
        ASSERT_EQ(r.moved().why(), "");
    }
    EXPECT_EQ(r.delivered().size(), 100u);
    EXPECT_EQ(r.close(nullptr).why(), "");
    const std::string text = readfile(path);
    EXPECT_EQ(count(text, "\n"), 101u) << text;  // the first line and one line per id
    EXPECT_EQ(count(text, "\nw "), 0u);
}

// The pickup folder and the record together, and every way a run can have been stopped.
TEST(Record, FollowsThePickupFolder) {
    TempFolder t;
    const std::string path = t.path + "/r.uidl";
    const std::string folder = t.path + "/pickup";
    auto files = [&](const char *sub) {
        std::vector<std::string> names;
        if (fs::is_directory(folder + "/" + sub))
            for (const auto &e : fs::directory_iterator(folder + "/" + sub))
                names.push_back(e.path().string());
        return names;
    };
    {
        // A good run.
        OneRun run(path, folder);
        ASSERT_EQ(run.deliver("one").why(), "");
        ASSERT_EQ(run.deliver("two").why(), "");
        EXPECT_EQ(run.pickup.commit().why(), "");
        EXPECT_EQ(run.record.delivered(), (std::unordered_set<std::string>{"one", "two"}));
        EXPECT_EQ(run.record.close(nullptr).why(), "");
        EXPECT_EQ(files("new").size(), 2u);
    }
    {
        // Killed before the commit: written, never in new/. The next run removes the files and
        // fetches them again.
        OneRun run(path, folder);
        ASSERT_EQ(run.deliver("three").why(), "");
        EXPECT_EQ(files("tmp").size(), 1u);
    }
    {
        UidlRecord r;
        ASSERT_EQ(r.open(path).why(), "");
        EXPECT_EQ(r.delivered(), (std::unordered_set<std::string>{"one", "two"}));
        EXPECT_TRUE(files("tmp").empty());
        EXPECT_EQ(files("new").size(), 2u);
        EXPECT_EQ(readfile(path).find("w "), std::string::npos);  // settled for good
    }
    {
        // Killed in the middle of a move: the one that left tmp/ is delivered, the other is not.
        fs::create_directories(folder + "/tmp");
        const std::string moved = folder + "/tmp/aa.1.morrent", stayed = folder + "/tmp/aa.2.morrent";
        writefile(stayed, "message five");
        writefile(folder + "/new/aa.1.morrent", "message four");
        std::ofstream(path, std::ios::app) << "w four " << moved << "\nw five " << stayed
                                           << "\nm\n";
        UidlRecord r;
        ASSERT_EQ(r.open(path).why(), "");
        EXPECT_EQ(r.delivered(), (std::unordered_set<std::string>{"one", "two", "four"}));
        EXPECT_TRUE(files("tmp").empty());
        EXPECT_EQ(files("new").size(), 3u);
    }
    {
        // A garbled path is never taken for a file of ours.
        const std::string precious = t.path + "/precious";
        writefile(precious, "keep me");
        std::ofstream(path, std::ios::app) << "w six " << precious << "\n";
        UidlRecord r;
        ASSERT_EQ(r.open(path).why(), "");
        EXPECT_EQ(readfile(precious), "keep me");
        EXPECT_EQ(r.delivered().count("six"), 0u);
    }
    {
        // A record that cannot take the line: the message does not stay to reach new/ unrecorded.
        OneRun run("", folder);
        EXPECT_NE(run.deliver("seven").why(), "");  // the record is not open
        EXPECT_EQ(run.pickup.commit().why(), "");
        EXPECT_TRUE(files("tmp").empty());
        EXPECT_EQ(files("new").size(), 3u);
    }
}

TEST(Record, AMoveIntoAFolderThatWentAwayIsNoDelivery) {
    TempFolder t;
    const std::string path = t.path + "/r.uidl";
    const std::string folder = t.path + "/pickup";
    OneRun run(path, folder);
    ASSERT_EQ(run.deliver("one").why(), "");
    // Moved away after the folder was looked at, before its messages are moved.
    run.journal.beforemove = [&] {
        fs::rename(folder, t.path + "/elsewhere");
        fs::create_directories(folder);
    };
    const std::string why = run.pickup.commit().why();
    EXPECT_NE(why.find("was moved or replaced"), std::string::npos) << why;
    EXPECT_FALSE(fs::is_empty(t.path + "/elsewhere/new"));  // whole, but out of the service's reach
    EXPECT_TRUE(run.record.delivered().empty());
    EXPECT_EQ(run.record.close(nullptr).why(), "");
    UidlRecord again;
    ASSERT_EQ(again.open(path).why(), "");
    EXPECT_TRUE(again.delivered().empty());
}
