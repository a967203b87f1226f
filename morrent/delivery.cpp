#include "morrent/delivery.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "common/asciitext.h"
#include "common/hostport.h"
#include "morrent/message.h"
#include "morrent/posixfile.h"

namespace morrent {

namespace {

using common::equalNoCase;

using common::isBlank;
using common::isControl;
using common::trimBlanks;

// Whether a header line starts the field `name` ("To:", "to :").
bool isfield(std::string_view line, std::string_view name) {
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    std::string_view field = line.substr(0, colon);
    while (!field.empty() && isBlank(field.back())) field.remove_suffix(1);
    return equalNoCase(field, name);
}

// Moves tmp/name to new/name without ever replacing a file already there.
bool moveNew(int tmpfd, int newfd, const std::string &name) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(tmpfd, name.c_str(), newfd, name.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
#endif
    if (::linkat(tmpfd, name.c_str(), newfd, name.c_str(), 0) != 0) return false;
    ::unlinkat(tmpfd, name.c_str(), 0);
    return true;
}

}  // namespace

// ---- maildrop ----

common::Result<Maildrop> parseMaildrop(std::string_view value) {
    using common::fail;
    value = trimBlanks(value);
    Maildrop drop;
    if (value.empty()) return drop;
    if (equalNoCase(value, "sendmail")) {
        drop.kind = Maildrop::Kind::sendmail;
        return drop;
    }
    constexpr std::string_view scheme = "smtp://";
    if (common::startsNoCase(value, scheme)) {
        std::string_view target = value.substr(scheme.size());
        if (!target.empty() && target.back() == '/') target.remove_suffix(1);
        drop.kind = Maildrop::Kind::smtp;
        common::Result<common::HostPort> mta = common::parseHostPort(target, 25);
        if (!mta) return fail("maildrop: \"" + std::string(value) + "\" is not smtp://host:port");
        drop.host = mta->host;
        drop.port = mta->port;
        return drop;
    }
    if (value.front() == '/') {
        for (char c : value)
            if (isControl(c)) return fail("maildrop: the folder name holds a control character");
        drop.folder = std::string(value);
        return drop;
    }
    return fail("maildrop: \"" + std::string(value) +
                "\" is neither empty, a folder path beginning with /, sendmail nor smtp://host:port");
}

// ---- what changes on the way ----

Rewritten replaceTo(std::string_view raw, std::string_view forward) {
    std::string_view header = headerBlock(raw);
    std::size_t firstnl = raw.find('\n');
    std::string_view eol =
        (firstnl != std::string_view::npos && firstnl > 0 && raw[firstnl - 1] != '\r')
            ? std::string_view("\n")
            : std::string_view("\r\n");
    std::string field = "To: " + std::string(forward) + std::string(eol);

    Rewritten out;
    out.restFrom = header.size();
    out.head.reserve(header.size() + field.size());
    bool replaced = false;
    bool skipping = false;  // inside a To field being dropped, continuation lines included
    std::size_t pos = 0;
    while (pos < header.size()) {
        std::size_t nl = header.find('\n', pos);
        std::size_t end = nl == std::string_view::npos ? header.size() : nl + 1;
        std::string_view line = header.substr(pos, end - pos);
        pos = end;
        if (isBlank(line.front())) {
            if (!skipping) out.head.append(line);
            continue;
        }
        skipping = isfield(line, "To");
        if (!skipping) {
            out.head.append(line);
        } else if (!replaced) {
            out.head.append(field);
            replaced = true;
        }
    }
    if (!replaced) {
        if (!out.head.empty() && out.head.back() != '\n') out.head.append(eol);
        out.head.append(field);
    }
    return out;
}

common::Result<void> checkForward(std::string_view forward) {
    for (char c : forward)
        if (isControl(c) && c != '\t')
            return common::fail("the forward address holds a line break or a control character");
    return {};
}

std::vector<std::string> recipientsOf(std::string_view raw,
                                      const std::optional<std::string> &forward) {
    if (!forward) return envelopeOf(raw).recipients;
    auto found = mailboxes(*forward);
    if (!found.empty()) return {found.front()};
    // A bare local name ("postmaster") is a recipient too.
    std::string_view bare = trimBlanks(*forward);
    if (bare.empty()) return {};
    return {std::string(bare)};
}

std::vector<std::string> parseLocalDomains(std::string_view value) {
    std::vector<std::string> domains;
    for (;;) {
        std::size_t comma = value.find(',');
        std::string_view piece = trimBlanks(value.substr(0, comma));
        if (!piece.empty() && piece.front() == '@') piece.remove_prefix(1);
        while (!piece.empty() && piece.back() == '.') piece.remove_suffix(1);
        if (!piece.empty()) {
            std::string domain;
            for (char c : piece) domain.push_back(common::asciiLower(c));
            if (std::find(domains.begin(), domains.end(), domain) == domains.end())
                domains.push_back(std::move(domain));
        }
        if (comma == std::string_view::npos) return domains;
        value.remove_prefix(comma + 1);
    }
}

std::vector<std::string> defaultLocalDomains(std::string_view mailname, std::string_view hostname,
                                             std::string_view hosts) {
    std::string fullname(trimBlanks(hostname.substr(0, hostname.find('\n'))));
    while (!hosts.empty()) {
        std::size_t nl = hosts.find('\n');
        std::string_view line = hosts.substr(0, nl);
        hosts.remove_prefix(nl == std::string_view::npos ? hosts.size() : nl + 1);
        line = line.substr(0, line.find('#'));
        std::vector<std::string_view> fields;
        for (std::size_t at = 0; at < line.size();) {
            while (at < line.size() && (isBlank(line[at]) || line[at] == '\r')) ++at;
            std::size_t end = at;
            while (end < line.size() && !isBlank(line[end]) && line[end] != '\r') ++end;
            if (end > at) fields.push_back(line.substr(at, end - at));
            at = end;
        }
        bool names = false;
        for (std::size_t i = 1; i < fields.size(); ++i)
            names = names || equalNoCase(fields[i], fullname);
        if (names && !fullname.empty()) {
            fullname = std::string(fields[1]);
            break;
        }
    }
    std::string wanted(trimBlanks(mailname.substr(0, mailname.find('\n'))));
    if (!wanted.empty() && wanted.back() == '\r') wanted.pop_back();
    return parseLocalDomains(wanted + "," + fullname);
}

namespace {
std::string readsmall(const char *path) {
    std::string text;
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    readAll(fd, text, std::size_t(1) << 20);
    ::close(fd);
    return text;
}
}  // namespace

std::vector<std::string> systemLocalDomains() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    return defaultLocalDomains(readsmall("/etc/mailname"), host, readsmall("/etc/hosts"));
}

bool personsShell(std::string_view shell) {
    shell = trimBlanks(shell);
    const std::string_view name = shell.substr(shell.rfind('/') + 1);
    return name != "nologin" && name != "false";
}

std::string localAccount() {
    if (const passwd *pw = ::getpwuid(::geteuid()); pw && pw->pw_name)
        if (personsShell(pw->pw_shell ? pw->pw_shell : "")) return pw->pw_name;
    return {};
}

LocalEnvelope localRecipients(const std::vector<std::string> &addresses,
                              const std::vector<std::string> &localdomains,
                              std::string_view account) {
    LocalEnvelope e;
    for (const auto &address : addresses) {
        std::size_t at = address.rfind('@');
        bool local = at == std::string::npos;
        if (!local) {
            std::string_view domain = std::string_view(address).substr(at + 1);
            while (!domain.empty() && domain.back() == '.') domain.remove_suffix(1);
            for (const auto &d : localdomains) local = local || equalNoCase(domain, d);
        }
        (local ? e.recipients : e.leftOut).push_back(address);
    }
    if (e.recipients.empty() && !account.empty()) e.recipients.emplace_back(account);
    return e;
}

std::vector<std::string> qualified(std::vector<std::string> recipients, std::string_view domain) {
    if (domain.empty()) return recipients;
    for (std::string &r : recipients)
        if (r.find('@') == std::string::npos && !equalNoCase(r, "postmaster")) r += "@" + std::string(domain);
    return recipients;
}

std::string noLocalRecipient(const Maildrop &drop, const std::vector<std::string> &localdomains,
                             std::string_view account) {
    if (drop.kind == Maildrop::Kind::pickup || !localdomains.empty() || !account.empty()) return {};
    return "no local recipient: there is no forward address, no local domain (localdomains, "
           "/etc/mailname, the host's full name) and this account is no person's; give "
           "FORWARDADDRESS or set localdomains; nothing was fetched";
}

std::string noRecipientReason(const LocalEnvelope &envelope) {
    std::string why = "no local recipient: ";
    why += envelope.leftOut.empty() ? "the message names no one"
                                    : "none of the message's addresses is in the local domains";
    return why + ", and this account is no person's; the message stays on the server";
}

common::Result<void> checkAddress(std::string_view address) {
    if (address.empty()) return common::fail("an empty address");
    for (char c : address)
        if (isControl(c) || c == '<' || c == '>')
            return common::fail("the address \"" + std::string(address.substr(0, 100)) + "\" is not usable");
    return {};
}

common::Result<void> checkEnvelope(std::string_view sender, const std::vector<std::string> &recipients) {
    if (recipients.empty()) return common::fail("the message names no recipient");
    if (!sender.empty())
        if (common::Result<void> usable = checkAddress(sender); !usable) return usable;
    for (const std::string &r : recipients)
        if (common::Result<void> usable = checkAddress(r); !usable) return usable;
    return {};
}

std::vector<std::string> sendmailArgs(std::string_view sender,
                                      const std::vector<std::string> &recipients) {
    std::vector<std::string> args = {"-i", "-f", sender.empty() ? "<>" : std::string(sender), "--"};
    args.insert(args.end(), recipients.begin(), recipients.end());
    return args;
}

// ---- the pickup folder ----

PickupFolder::PickupFolder(std::string folder) : folder_(std::move(folder)) {
    while (folder_.size() > 1 && folder_.back() == '/') folder_.pop_back();
}

PickupFolder::~PickupFolder() {
    if (tmpfd_ >= 0) ::close(tmpfd_);
    if (newfd_ >= 0) ::close(newfd_);
}

common::Result<void> PickupFolder::prepare() {
    if (tmpfd_ >= 0 && newfd_ >= 0) return {};
    for (const char *sub : {"", "/tmp", "/new", "/cur"}) {
        std::string path = folder_ + sub;
        if (!makeFolders(path)) return common::fail(osError("cannot create the pickup folder " + path));
    }
    tmpfd_ = ::open((folder_ + "/tmp").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    newfd_ = ::open((folder_ + "/new").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tmpfd_ < 0 || newfd_ < 0) {
        const std::string why = osError("cannot open the pickup folder " + folder_);
        if (tmpfd_ >= 0) ::close(tmpfd_);
        if (newfd_ >= 0) ::close(newfd_);
        tmpfd_ = newfd_ = -1;
        return common::fail(why);
    }
    std::random_device random;
    char stem[48];
    std::snprintf(stem, sizeof stem, "%08x%08x.%ld", unsigned(random()), unsigned(random()),
                  long(::getpid()));
    stem_ = stem;
    return {};
}

common::Result<void> PickupFolder::stillThere() const {
    // Messages written through handles to a folder that was moved away would be safe on disk but
    // out of the mail service's reach: the paths must still lead to the folders we hold open.
    for (const auto &[fd, sub] : {std::pair{tmpfd_, "/tmp"}, std::pair{newfd_, "/new"}}) {
        struct stat held, named;
        if (::fstat(fd, &held) != 0 || ::stat((folder_ + sub).c_str(), &named) != 0 ||
            held.st_dev != named.st_dev || held.st_ino != named.st_ino)
            return common::fail("the pickup folder " + folder_ + " was moved or replaced during the download");
    }
    return {};
}

std::string PickupFolder::uniqueName() {
    return stem_ + "." + std::to_string(++counter_) + ".morrent";
}

common::Result<void> PickupFolder::deliver(std::string_view head, std::string_view rest) {
    if (common::Result<void> done = prepare(); !done) return done;
    // Once a batch: the commit looks again before anything moves into new/.
    if (pending_.empty()) {
        if (common::Result<void> done = stillThere(); !done) return done;
    }
    std::string name;
    int fd = -1;
    for (int attempt = 0; attempt < 10 && fd < 0; ++attempt) {
        name = uniqueName();
        fd = ::openat(tmpfd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return common::fail(osError("cannot create a message file in " + folder_ + "/tmp"));
    bool ok = writeAll(fd, head) && writeAll(fd, rest);
    int saved = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        ::unlinkat(tmpfd_, name.c_str(), 0);
        errno = saved;
        return common::fail(osError("cannot write a message file in " + folder_ + "/tmp"));
    }
    if (journal_) {
        if (common::Result<void> done = journal_->written(folder_ + "/tmp/" + name); !done) {
            // Unrecorded, it must not reach new/.
            ::unlinkat(tmpfd_, name.c_str(), 0);
            return done;
        }
    }
    pending_.push_back(std::move(name));
    pendingBytes_ += head.size() + rest.size();
    if (pending_.size() >= batchCount || pendingBytes_ >= batchBytes) return commit();
    return {};
}

common::Result<void> PickupFolder::commit() {
    if (pending_.empty()) return {};
    if (common::Result<void> done = stillThere(); !done) return done;
    if (journal_) {
        struct stat st;
        if (::fstat(tmpfd_, &st) != 0) return common::fail(osError("cannot look at the pickup folder " + folder_));
        if (common::Result<void> done = journal_->moving(std::uint64_t(st.st_dev)); !done) return done;
    }
#ifdef __linux__
    // One sync for the whole batch: far cheaper than one per message.
    if (::syncfs(tmpfd_) != 0) return common::fail(osError("cannot sync the pickup folder " + folder_));
#else
    for (const auto &name : pending_) {
        int fd = ::openat(tmpfd_, name.c_str(), O_RDONLY | O_CLOEXEC);
        bool ok = fd >= 0 && ::fsync(fd) == 0;
        if (fd >= 0) ::close(fd);
        if (!ok) return common::fail(osError("cannot sync the pickup folder " + folder_));
    }
#endif
    std::size_t moved = 0;
    std::string why;
    for (; moved < pending_.size(); ++moved) {
        if (!moveNew(tmpfd_, newfd_, pending_[moved])) {
            why = osError("cannot move a message into " + folder_ + "/new");
            break;
        }
    }
    pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(moved));
    if (!why.empty()) return common::fail(why);
    if (::fsync(newfd_) != 0) return common::fail(osError("cannot sync " + folder_ + "/new"));
    ::fsync(tmpfd_);  // only the removal of the names; the messages are safe either way
    pendingBytes_ = 0;
    if (common::Result<void> done = stillThere(); !done) {
        if (journal_) journal_->astray();
        return done;
    }
    return journal_ ? journal_->moved() : common::Result<void>();
}

}  // namespace morrent
