#include "morrent/mailboxstate.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/asciitext.h"
#include "morrent/posixfile.h"

namespace morrent {

namespace {

constexpr std::string_view header = "tessaruno morrent record 1";
// The longest key; a file name may have 255 bytes, and ".uidl.new" follows it.
constexpr std::size_t maxkey = 200;

std::uint64_t fnv1a(std::string_view text) {
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

void escape(std::string &out, std::string_view text, bool lower) {
    static const char hex[] = "0123456789ABCDEF";
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        bool plain = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
                     c == '.' || c == '-' || c == '_' || c == '+' || c == '=' || c == ',';
        if (plain) {
            out.push_back(lower ? common::asciiLower(c) : c);
        } else {
            out.push_back('%');
            out.push_back(hex[u >> 4]);
            out.push_back(hex[u & 15]);
        }
    }
}

// The failure to open one of the state files, in words for the admin: a planted link is named.
std::string openFailure(const std::string &what) {
    if (errno == ELOOP)
        return what + ": it is a symbolic link, and morrent writes through none";
    return osError(what);
}

// A state file open at `fd` must be a plain file (else fd is closed).
common::Result<void> plainFile(int fd, const std::string &what) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return {};
    ::close(fd);
    return common::fail(what + ": it is not a regular file");
}

std::string folderof(const std::string &path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash ? slash : 1);
}

}  // namespace

// ---- the state folder and the names in it ----

std::string stateFolder(const char *xdgstatehome, const char *home) {
    if (xdgstatehome && xdgstatehome[0] == '/') return std::string(xdgstatehome) + "/tessaruno";
    if (home && home[0] == '/') return std::string(home) + "/.local/state/tessaruno";
    return {};
}

std::string stateFolder() {
    return stateFolder(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
}

common::Result<void> makeStateFolder(const std::string &folder) {
    if (!makeFolders(folder)) return common::fail(osError("cannot create the state folder " + folder));
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return common::fail(osError("cannot use the state folder " + folder));
    // Whoever else may write in it can plant links or files where the lock and the record go.
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH))) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        return common::fail("the state folder " + folder + " must be a folder of this user's that no one else " +
               "may write to (it has mode " + mode + ", owner " + std::to_string(st.st_uid) +
               "): chmod 700 it, or remove it and morrent makes it afresh");
    }
    return {};
}

std::string mailboxKey(std::string_view login, std::string_view host, int port) {
    std::string key;
    escape(key, login, false);
    key.push_back('@');
    escape(key, host, true);
    key += ":" + std::to_string(port);
    if (key.size() > maxkey) {
        char tail[24];
        std::snprintf(tail, sizeof tail, "~%016llx",
                      static_cast<unsigned long long>(fnv1a(key)));
        key.resize(maxkey - std::strlen(tail));
        key += tail;
    }
    return key;
}

// ---- the lock ----

MailboxLock::~MailboxLock() {
    release();
}

common::Result<void> MailboxLock::take(const std::string &path) {
    release();
    busy_ = false;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) return common::fail(openFailure("cannot open the lock " + path));
    if (common::Result<void> done = plainFile(fd, "cannot use the lock " + path); !done) return done;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        std::string why;
        if (err == EWOULDBLOCK) {
            busy_ = true;
            char pid[32] = {};
            ssize_t n = ::pread(fd, pid, sizeof pid - 1, 0);
            std::string holder = n > 0 ? std::string(pid, std::size_t(n)) : std::string();
            while (!holder.empty() && (holder.back() == '\n' || holder.back() == ' '))
                holder.pop_back();
            why = "another run" + (holder.empty() ? std::string() : " (pid " + holder + ")") +
                  " is fetching this mailbox: it holds " + path;
        } else {
            errno = err;
            why = osError("cannot lock " + path);
        }
        ::close(fd);
        return common::fail(why);
    }
    // For the admin who finds a run waiting: who holds it.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, pid.data(), pid.size(), 0);
    fd_ = fd;
    return {};
}

void MailboxLock::release() {
    if (fd_ >= 0) ::close(fd_);  // closing the last descriptor frees the lock
    fd_ = -1;
}

// ---- the record ----

RecordContents readRecord(std::string_view text) {
    RecordContents r;
    std::size_t mark = 0;  // unsure entries before this index have an "m" after them
    while (!text.empty()) {
        std::size_t nl = text.find('\n');
        if (nl == std::string_view::npos) break;  // cut off while it was written
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl + 1);
        ++r.lines;
        if (line.size() > 2 && line[0] == 'd' && line[1] == ' ') {
            std::string_view uid = line.substr(2);
            if (uid.find(' ') == std::string_view::npos) r.delivered.emplace(uid);
        } else if (line.size() > 2 && line[0] == 'w' && line[1] == ' ') {
            std::string_view rest = line.substr(2);
            std::size_t blank = rest.find(' ');
            if (blank == 0 || blank == std::string_view::npos || blank + 1 == rest.size()) continue;
            r.unsure.push_back({std::string(rest.substr(0, blank)),
                                std::string(rest.substr(blank + 1)), false});
        } else if (line == "m") {
            for (std::size_t i = mark; i < r.unsure.size(); ++i) r.unsure[i].moving = true;
            mark = r.unsure.size();
        } else if (line == "c" || line == "x") {
            if (line == "c")
                for (const auto &w : r.unsure)
                    if (w.moving) r.delivered.insert(w.uid);
            // What was written after the "m" stays unsure.
            std::vector<RecordContents::Written> left;
            for (auto &w : r.unsure)
                if (!w.moving) left.push_back(std::move(w));
            r.unsure = std::move(left);
            mark = 0;
        }
        // Anything else (the first line, a line a power cut garbled) says nothing.
    }
    return r;
}

bool pickupName(std::string_view path) {
    constexpr std::string_view tail = ".morrent";
    std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || slash < 4 || path.substr(slash - 4, 5) != "/tmp/")
        return false;
    std::string_view name = path.substr(slash + 1);
    return name.size() > tail.size() && name.substr(name.size() - tail.size()) == tail &&
           name.find("..") == std::string_view::npos;
}

UidlRecord::~UidlRecord() {
    if (fd_ >= 0) ::close(fd_);
}

common::Result<void> UidlRecord::open(const std::string &path) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    path_ = path;
    delivered_.clear();
    writtenUids_.clear();
    moving_ = dirty_ = false;
    lines_ = 0;

    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                    0600);
    if (fd < 0) return common::fail(openFailure("cannot open the record " + path));
    if (common::Result<void> done = plainFile(fd, "cannot use the record " + path); !done) return done;
    std::string text;
    if (!readAll(fd, text, std::size_t(1) << 30)) {
        const common::Result<void> failed = common::fail(osError("cannot read the record " + path));
        ::close(fd);
        return failed;
    }
    fd_ = fd;
    RecordContents contents = readRecord(text);
    delivered_ = std::move(contents.delivered);
    lines_ = contents.lines;

    if (text.empty()) {
        dirty_ = true;
        return append(header);
    }
    if (contents.unsure.empty() && text.back() == '\n') return {};

    // A run was killed while it delivered (or a power cut garbled the end). Messages that reached
    // new/ count as delivered; the record says so durably before the files of the others go, so
    // that it never again takes a missing file for a moved one.
    std::vector<std::string> remove;
    for (const auto &w : contents.unsure) {
        struct stat st;
        bool there = ::lstat(w.path.c_str(), &st) == 0;
        if (w.moving && !there)
            delivered_.insert(w.uid);
        else if (there && pickupName(w.path))
            remove.push_back(w.path);
    }
    if (common::Result<void> done = rewrite(); !done) return done;
    for (const auto &file : remove) ::unlink(file.c_str());
    return {};
}

common::Result<void> UidlRecord::append(std::string_view line) {
    if (fd_ < 0) return common::fail("the record " + path_ + " is not open");
    std::string text(line);
    text.push_back('\n');
    if (!writeAll(fd_, text)) return common::fail(osError("cannot write the record " + path_));
    dirty_ = true;
    ++lines_;
    return {};
}

common::Result<void> UidlRecord::add(std::string_view uid) {
    if (common::Result<void> done = append("d " + std::string(uid)); !done) return done;
    delivered_.emplace(uid);
    return {};
}

common::Result<void> UidlRecord::written(std::string_view uid, std::string_view path) {
    if (common::Result<void> done = append("w " + std::string(uid) + " " + std::string(path)); !done) return done;
    writtenUids_.emplace_back(uid);
    return {};
}

common::Result<void> UidlRecord::moving(std::uint64_t device) {
    if (writtenUids_.empty()) return {};
    if (common::Result<void> done = append("m"); !done) return done;
    moving_ = true;
#ifdef __linux__
    // The pickup folder's sync (of its whole file system) makes the line durable when the record
    // lives there too.
    struct stat st;
    if (::fstat(fd_, &st) == 0 && std::uint64_t(st.st_dev) == device) return {};
#else
    (void)device;
#endif
    return sync();
}

common::Result<void> UidlRecord::moved() {
    if (!moving_) return {};
    if (common::Result<void> done = append("c"); !done) return done;
    for (auto &uid : writtenUids_) delivered_.insert(std::move(uid));
    writtenUids_.clear();
    moving_ = false;
    return {};
}

void UidlRecord::astray() {
    if (!moving_) return;
    // Without this line the next run would take the files gone from tmp/ for delivered ones.
    if (append("x")) sync();
    writtenUids_.clear();
    moving_ = false;
}

common::Result<void> UidlRecord::sync() {
    if (fd_ < 0 || !dirty_) return {};
    if (::fdatasync(fd_) != 0) return common::fail(osError("cannot sync the record " + path_));
    dirty_ = false;
    return {};
}

// Writes the delivered ids alone into a new file, makes it durable and puts it in the record's
// place.
common::Result<void> UidlRecord::rewrite() {
    std::string text(header);
    text.push_back('\n');
    for (const auto &uid : delivered_) text += "d " + uid + "\n";
    if (const std::string why = replaceFile(path_, text, "the record "); !why.empty()) return common::fail(why);
    int dir = ::open(folderof(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    int reopened = ::open(path_.c_str(), O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (reopened < 0) return common::fail(openFailure("cannot open the record " + path_));
    if (fd_ >= 0) ::close(fd_);
    fd_ = reopened;
    writtenUids_.clear();
    moving_ = dirty_ = false;
    lines_ = 1 + delivered_.size();
    return {};
}

common::Result<void> UidlRecord::close(const std::vector<std::string> *onserver) {
    if (fd_ < 0) return {};
    common::Result<void> done;
    const bool settled = writtenUids_.empty() && !moving_;
    bool forgot = false;
    if (onserver && settled) {
        std::unordered_set<std::string> there(onserver->begin(), onserver->end());
        for (auto it = delivered_.begin(); it != delivered_.end();) {
            if (there.count(*it)) {
                ++it;
            } else {
                it = delivered_.erase(it);
                forgot = true;
            }
        }
    }
    if (settled && (forgot || lines_ > 2 * delivered_.size() + 64))
        done = rewrite();
    else
        done = sync();
    ::close(fd_);
    fd_ = -1;
    return done;
}

}  // namespace morrent
