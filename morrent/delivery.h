// Handing fetched messages to the local mail service: where they go (the `maildrop` value), what is
// changed on the way (only `To`, when forwarding), who the envelope names, and the pickup folder.
//
// A message is handed on as the raw bytes the server sent. When forwarding, the `To` field is
// replaced in place: every other byte of the message stays as it was received.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace morrent {

// ---- where messages go: the registry value `maildrop` ----
//   ""                 the default pickup folder (the user's data folder, tessaruno/pickup)
//   /a/directory       that folder as the pickup folder
//   sendmail           /usr/sbin/sendmail with explicit recipients
//   smtp://host:port   an MTA over SMTP (port 25 when left out; [::1]:25 for an IPv6 address)
struct Maildrop {
    enum class Kind { pickup, sendmail, smtp };
    Kind kind = Kind::pickup;
    std::string folder;  // pickup: the folder, "" for the default one
    std::string host;    // smtp
    int port = 25;       // smtp
};

// The maildrop a value names; a failure says why it names none.
common::Result<Maildrop> parseMaildrop(std::string_view value);

// ---- what changes on the way ----

// The message split for writing: `head` (rewritten) followed by the untouched bytes from
// `restFrom`.
struct Rewritten {
    std::string head;
    std::size_t restFrom = 0;
};

// Replaces the first `To` field (with its continuation lines) by "To: " + forward, drops any
// further `To` fields, and adds one at the end of the header when there is none. The new line ends
// the way the message's first line does (CR LF, or LF).
Rewritten replaceTo(std::string_view raw, std::string_view forward);

// Whether a forward address can go into a header or an envelope, or why not.
common::Result<void> checkForward(std::string_view forward);

// The envelope recipients: the forward address alone when forwarding (its Cc and Bcc are not mailed
// to again), else the addresses of To and Cc.
std::vector<std::string> recipientsOf(std::string_view raw,
                                      const std::optional<std::string> &forward);

// ---- the envelope without a forward address ----
// Only the message's own recipients in the local domains are mailed: one outside would be mailed
// again by the office's MTA, and the fetched mailbox itself among them would bring the message
// back (a mail loop).

// The registry value `localdomains` ("example.org, mail.example.org"): each domain in lower case,
// blanks and a leading "@" left out.
std::vector<std::string> parseLocalDomains(std::string_view value);
// The default: the domain in /etc/mailname and the host's full name (the first name of the
// /etc/hosts line that names the host, as hostname -f finds it without asking a name server),
// from the texts of /etc/mailname, the host name and /etc/hosts.
std::vector<std::string> defaultLocalDomains(std::string_view mailname, std::string_view hostname,
                                             std::string_view hosts);
// The same, read from this machine.
std::vector<std::string> systemLocalDomains();
// Whether an account with this login shell is a person's: one that cannot log in (nologin,
// false: a service's account, such as the one the morrent@ units run as) has no one reading its
// mail.
bool personsShell(std::string_view shell);
// The name of the account this process runs as, when it is a person's ("" when it has none, or
// when the account is a service's: its mail would reach no one).
std::string localAccount();
// The maildrop an empty `maildrop` value stands for under an account that is no person's: the
// local mail service over SMTP, as a pickup folder there would be read by no one.
constexpr const char *serviceMaildrop = "smtp://localhost:25";

struct LocalEnvelope {
    std::vector<std::string> recipients;  // to mail to
    std::vector<std::string> leftOut;     // the message's addresses outside the local domains
};
// Of `addresses`, those in `localdomains` (an address without a domain is local too); when none
// is, `account` alone.
LocalEnvelope localRecipients(const std::vector<std::string> &addresses,
                              const std::vector<std::string> &localdomains,
                              std::string_view account);

// The recipients for an MTA over SMTP: a name without a domain (a local one, or the account)
// gets `domain`, as RCPT TO wants a whole address; "postmaster" and an empty domain leave it be.
std::vector<std::string> qualified(std::vector<std::string> recipients, std::string_view domain);

// Why a download without a forward address could mail no one, before anything is fetched: the
// maildrop has an envelope (SMTP, sendmail), no domain is local and there is no person's account
// to fall back on. "" when the messages can reach someone.
std::string noLocalRecipient(const Maildrop &drop, const std::vector<std::string> &localdomains,
                             std::string_view account);
// Why one message is mailed to no one (none of its addresses is local, and no person's account
// takes it in their place).
std::string noRecipientReason(const LocalEnvelope &envelope);

// Whether an address can be named in an SMTP command or a sendmail argument, or why not.
common::Result<void> checkAddress(std::string_view address);
// Whether a message can be mailed to `recipients` (at least one) from `sender` ("" for none):
// the first address that cannot, or why not.
common::Result<void> checkEnvelope(std::string_view sender, const std::vector<std::string> &recipients);

// The sendmail command's arguments: recipients are given explicitly, never taken from the headers
// (-t would mail Cc and Bcc again); -i keeps a line holding only "." from ending the input.
constexpr const char *sendmailProgram = "/usr/sbin/sendmail";
std::vector<std::string> sendmailArgs(std::string_view sender,
                                      const std::vector<std::string> &recipients);

// ---- the pickup folder ----
// Maildir-style: a message is written under tmp/ and moved into new/ only after its bytes are on
// disk, so a reader never sees a partial file, not even after a crash. Writes are made durable in
// batches (one filesystem sync for many messages) rather than one sync per message.

// Told of each step of a pickup folder's work, so that a record of the delivered messages can
// follow it exactly. A step that fails fails the delivery or the commit.
class PickupJournal {
public:
    // A message is whole at `path`, under tmp/.
    virtual common::Result<void> written(const std::string &path) = 0;
    // The messages written since the last commit are about to be synced and moved into new/; the
    // sync covers the file system `device`.
    virtual common::Result<void> moving(std::uint64_t device) = 0;
    // They are all in new/, and new/ is synced.
    virtual common::Result<void> moved() = 0;
    // They were moved, but into a folder that is no longer where the mail service looks.
    virtual void astray() = 0;

protected:
    ~PickupJournal() = default;
};

class PickupFolder {
public:
    explicit PickupFolder(std::string folder);
    ~PickupFolder();
    PickupFolder(const PickupFolder &) = delete;
    PickupFolder &operator=(const PickupFolder &) = delete;

    // Writes one message (head, then rest); a failed message
    // leaves no file behind. Messages written reach new/ at the next commit, which happens by
    // itself after `batchCount` messages or `batchBytes` bytes.
    common::Result<void> deliver(std::string_view head, std::string_view rest);
    // Syncs every written message and moves it into new/, then syncs new/.
    common::Result<void> commit();

    const std::string &folder() const { return folder_; }
    std::size_t pending() const { return pending_.size(); }
    void setJournal(PickupJournal *journal) { journal_ = journal; }

    static constexpr std::size_t batchCount = 500;
    static constexpr std::uint64_t batchBytes = std::uint64_t(64) << 20;

private:
    common::Result<void> prepare();
    common::Result<void> stillThere() const;
    std::string uniqueName();

    std::string folder_;
    int tmpfd_ = -1;  // tmp/ and new/, opened once
    int newfd_ = -1;
    std::vector<std::string> pending_;  // names written under tmp/, not yet in new/
    std::uint64_t pendingBytes_ = 0;
    std::string stem_;  // makes names unique across processes and runs
    std::uint64_t counter_ = 0;
    PickupJournal *journal_ = nullptr;
};

}  // namespace morrent
