#include "morrent/runhistory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/asciitext.h"
#include "morrent/mailboxstate.h"
#include "morrent/posixfile.h"

namespace morrent {

namespace {

constexpr std::string_view header = "tessaruno morrent history 1";
// A history of a thousand runs has some 100 KiB; more than this is no history of morrent's.
constexpr std::size_t maxHistory = std::size_t(16) << 20;

void escape(std::string &out, std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || c == '%') {
            out.push_back('%');
            out.push_back(hex[u >> 4]);
            out.push_back(hex[u & 15]);
        } else {
            out.push_back(c);
        }
    }
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::optional<std::string> unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = hexDigit(text[i + 1]), low = hexDigit(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out.push_back(char(high * 16 + low));
        i += 2;
    }
    return out;
}

std::optional<int> count(std::string_view text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    int n = 0;
    for (char c : text) {
        if (!common::isAsciiDigit(c)) return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n;
}

// 2026-12-09T06:15:02Z
bool isUtcTime(std::string_view t) {
    constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
    if (t.size() != shape.size()) return false;
    for (std::size_t i = 0; i < t.size(); ++i)
        if (shape[i] == 'd' ? !common::isAsciiDigit(t[i]) : t[i] != shape[i]) return false;
    return true;
}

std::string padded(std::string text, std::size_t width, bool right) {
    if (text.size() >= width) return text;
    const std::string fill(width - text.size(), ' ');
    return right ? fill + text : text + fill;
}

// Opens a state file without following a link; it must be a regular file.
common::Result<int> openPlain(const std::string &path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return common::fail(errno == ELOOP ? path + ": it is a symbolic link, and morrent writes through none"
                                           : osError("cannot open " + path));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return common::fail("cannot use " + path + ": it is not a regular file");
    }
    return fd;
}

struct Closer {
    int fd;
    ~Closer() {
        if (fd >= 0) ::close(fd);
    }
};

// The history with `records` alone, in a new file that takes the old one's place.
common::Result<void> rewrite(const std::string &path, const std::vector<RunRecord> &records) {
    std::string text(header);
    text.push_back('\n');
    for (const RunRecord &r : records) text += recordText(r) + "\n";
    if (const std::string why = replaceFile(path, text); !why.empty()) return common::fail(why);
    return {};
}

}  // namespace

std::string utcTime(std::time_t when) {
    std::tm t{};
    ::gmtime_r(&when, &t);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &t);
    return text;
}

std::string recordText(const RunRecord &r) {
    std::string line = r.time;
    for (const std::string *text : {&r.server, &r.login}) {
        line.push_back('\t');
        escape(line, *text);
    }
    for (int n : {r.found, r.delivered, r.deleted}) line += "\t" + std::to_string(std::max(n, 0));
    line.push_back('\t');
    escape(line, r.outcome.size() > outcomeLimit ? r.outcome.substr(0, outcomeLimit - 3) + "..." : r.outcome);
    return line;
}

std::optional<RunRecord> parseRecord(std::string_view line) {
    std::vector<std::string_view> fields;
    for (std::size_t tab; (tab = line.find('\t')) != std::string_view::npos; line.remove_prefix(tab + 1))
        fields.push_back(line.substr(0, tab));
    fields.push_back(line);
    if (fields.size() != 7 || !isUtcTime(fields[0]) || fields[6].empty()) return std::nullopt;
    RunRecord r;
    r.time = fields[0];
    const auto server = unescape(fields[1]), login = unescape(fields[2]), outcome = unescape(fields[6]);
    const auto found = count(fields[3]), delivered = count(fields[4]), deleted = count(fields[5]);
    if (!server || !login || !outcome || !found || !delivered || !deleted) return std::nullopt;
    r.server = *server;
    r.login = *login;
    r.outcome = *outcome;
    r.found = *found;
    r.delivered = *delivered;
    r.deleted = *deleted;
    return r;
}

std::vector<RunRecord> parseHistory(std::string_view text) {
    std::vector<RunRecord> records;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        if (nl == std::string_view::npos) break;  // cut off while it was written
        if (auto r = parseRecord(text.substr(0, nl))) records.push_back(std::move(*r));
        text.remove_prefix(nl + 1);
    }
    return records;
}

std::string historyTable(const std::vector<RunRecord> &records) {
    struct Column {
        const char *title;
        bool right;
        std::size_t width;
    } columns[] = {{"time", false, 0},   {"server", false, 0},    {"login", false, 0}, {"new", true, 0},
                   {"delivered", true, 0}, {"deleted", true, 0}, {"outcome", false, 0}};
    std::vector<std::vector<std::string>> rows;
    for (const RunRecord &r : records) {
        // Shown as written: a control byte stays %XX, never a terminal's command.
        std::string server, login, outcome;
        escape(server, r.server);
        escape(login, r.login);
        escape(outcome, r.outcome);
        rows.push_back({r.time, server, login, std::to_string(r.found), std::to_string(r.delivered),
                        std::to_string(r.deleted), outcome});
    }
    for (Column &c : columns) c.width = std::string_view(c.title).size();
    for (const auto &row : rows)
        for (std::size_t i = 0; i < row.size(); ++i) columns[i].width = std::max(columns[i].width, row[i].size());
    auto line = [&](const std::vector<std::string> &cells) {
        std::string out;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (i) out += "  ";
            out += i + 1 == cells.size() ? cells[i] : padded(cells[i], columns[i].width, columns[i].right);
        }
        return out + "\n";
    };
    std::vector<std::string> titles;
    for (const Column &c : columns) titles.emplace_back(c.title);
    std::string table = line(titles);
    for (const auto &row : rows) table += line(row);
    return table;
}

std::string historyPath(const std::string &stateFolder) {
    return stateFolder + "/history";
}

common::Result<void> appendRun(const std::string &folder, const RunRecord &record, std::size_t keep) {
    if (folder.empty()) return common::fail("no state folder: neither XDG_STATE_HOME nor HOME is set");
    if (common::Result<void> made = makeStateFolder(folder); !made) return made;
    const std::string path = historyPath(folder);
    const common::Result<int> lockFd = openPlain(path + ".lock", O_RDWR);
    if (!lockFd) return common::fail(lockFd.why());
    const Closer lock{*lockFd};
    while (::flock(lock.fd, LOCK_EX) != 0)
        if (errno != EINTR) return common::fail(osError("cannot lock " + path + ".lock"));

    const common::Result<int> fd = openPlain(path, O_RDWR | O_APPEND);
    if (!fd) return common::fail(fd.why());
    const Closer file{*fd};
    std::string text;
    if (!readAll(file.fd, text, maxHistory)) return common::fail(osError("cannot read " + path));
    std::vector<RunRecord> records = parseHistory(text);
    if (records.size() + 1 > keep || text.size() >= maxHistory) {
        records.push_back(record);
        const std::size_t drop = records.size() > keep ? records.size() - keep : 0;
        records.erase(records.begin(), records.begin() + std::ptrdiff_t(drop));
        return rewrite(path, records);
    }
    std::string out;
    if (text.empty()) out = std::string(header) + "\n";
    else if (text.back() != '\n') out = "\n";  // a line cut short stays apart from this one
    out += recordText(record) + "\n";
    if (!writeAll(file.fd, out)) return common::fail(osError("cannot write " + path));
    return {};
}

common::Result<std::vector<RunRecord>> readHistory(const std::string &folder) {
    if (folder.empty()) return std::vector<RunRecord>();
    const std::string path = historyPath(folder);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return std::vector<RunRecord>();
    if (fd < 0) return common::fail(osError("cannot read " + path));
    const Closer file{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return common::fail("cannot read " + path + ": not a regular file");
    std::string text;
    if (!readAll(fd, text, maxHistory)) return common::fail(osError("cannot read " + path));
    return parseHistory(text);
}

}  // namespace morrent
