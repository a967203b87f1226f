// What morrent keeps about a mailbox between runs, in its state folder ($XDG_STATE_HOME/tessaruno,
// else ~/.local/state/tessaruno; 0700), one pair of files per server and login (mode 0600). They
// are opened without following a symbolic link, and must be regular files:
//
//   KEY.lock   held by the run that fetches the mailbox (flock: the kernel frees it when that run
//              ends or dies); a second run finds it taken and stops before it connects
//   KEY.uidl   the unique ids of the messages delivered and still on the server (kept with
//              deletion on too: a run that fails after some deliveries deletes nothing)
//
// The record is a journal that follows the deliveries line by line, written as they happen:
//
//   d UID       the message was delivered: an MTA confirmed it, or it is in a pickup folder's new/
//   w UID PATH  the message is written to PATH, under a pickup folder's tmp/, not yet in new/
//   m           the messages written above are about to be made durable and moved into new/
//   c           they are in new/, and new/ is synced
//   x           they were moved, but the folder had been moved away: they count as not delivered
//
// A line goes out with one write, so a run that is killed leaves whole lines behind (and at worst
// one message delivered but not recorded: the one in flight). Opening the record settles what such
// a run left: a written message without "m" after it never reached new/, so its file is removed
// and it is fetched again; after "m" but without "c" it reached new/ exactly when its file has left
// tmp/. A power cut can take lines that were not yet durable; the "m" line is durable before any
// message moves, so a message in new/ is never taken for one that did not get there, and a record
// that lost lines only makes messages be fetched again, never lost.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/result.h"

namespace morrent {

// The state folder from $XDG_STATE_HOME (when absolute) or $HOME; "" when neither is usable.
std::string stateFolder(const char *xdgstatehome, const char *home);
std::string stateFolder();
// Creates the folder and those above it (0700 for what it creates). A folder that
// is not this user's, or that others may write to, is refused: a link planted in it would turn
// the lock or the record into a write to some other file. (The services' folder is 0750.)
common::Result<void> makeStateFolder(const std::string &folder);

// The name both files of a mailbox share: LOGIN@HOST:PORT, the host in lower case, bytes that do
// not belong in a file name as %XX; a very long one is cut and ends in a hash of the whole.
std::string mailboxKey(std::string_view login, std::string_view host, int port);

class MailboxLock {
public:
    MailboxLock() = default;
    MailboxLock(const MailboxLock &) = delete;
    MailboxLock &operator=(const MailboxLock &) = delete;
    ~MailboxLock();

    // Takes the lock at `path` without waiting. When that fails, busy() says whether another
    // process holds it (the reason names it).
    common::Result<void> take(const std::string &path);
    bool busy() const { return busy_; }
    void release();
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
    bool busy_ = false;
};

// What a record file says, read without touching anything.
struct RecordContents {
    struct Written {
        std::string uid;
        std::string path;
        bool moving = false;  // an "m" line follows it
    };
    std::unordered_set<std::string> delivered;
    std::vector<Written> unsure;  // written and not followed by "c"
    std::size_t lines = 0;        // whole lines of the journal, the first one included
};
RecordContents readRecord(std::string_view text);

// A file name the pickup folder gave a message under tmp/: the only kind of path the record
// ever removes.
bool pickupName(std::string_view path);

class UidlRecord {
public:
    UidlRecord() = default;
    UidlRecord(const UidlRecord &) = delete;
    UidlRecord &operator=(const UidlRecord &) = delete;
    ~UidlRecord();

    // Opens the record at `path` (an empty one when there is none) and settles what a killed run
    // left.
    common::Result<void> open(const std::string &path);
    bool isOpen() const { return fd_ >= 0; }
    const std::string &path() const { return path_; }
    const std::unordered_set<std::string> &delivered() const { return delivered_; }

    // A message an MTA confirmed.
    common::Result<void> add(std::string_view uid);
    // A message written to `path` under a pickup folder's tmp/.
    common::Result<void> written(std::string_view uid, std::string_view path);
    // The messages written so far are about to be synced and moved into new/ of a pickup folder
    // on the file system `device`; once this is done, the "m" line is durable or will be made
    // durable by that folder's own sync.
    common::Result<void> moving(std::uint64_t device);
    // ... and now they are in new/.
    common::Result<void> moved();
    // ... but into a folder that had been moved away: they count as not delivered.
    void astray();
    // Makes every line so far durable.
    common::Result<void> sync();
    // The end of the session. With the ids on the server known, those not among them are
    // forgotten; the record is rewritten without journal lines when ids were forgotten or the
    // journal has grown well beyond them, and never while a move is unsettled.
    common::Result<void> close(const std::vector<std::string> *onserver);

private:
    common::Result<void> append(std::string_view line);
    common::Result<void> rewrite();

    std::string path_;
    int fd_ = -1;
    std::unordered_set<std::string> delivered_;
    std::vector<std::string> writtenUids_;  // "w" lines since the last "c"
    bool moving_ = false;                   // an "m" line is out and its "c" not yet
    bool dirty_ = false;                    // lines appended since the last sync
    std::size_t lines_ = 0;
};

}  // namespace morrent
