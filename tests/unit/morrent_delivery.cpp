// Delivery rules: the maildrop value, the To replacement, the envelope recipients, the sendmail
// command line, and the pickup folder on a real filesystem.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "morrent/delivery.h"

using namespace morrent;

namespace {

std::vector<std::string> filesin(const std::string &folder) {
    std::vector<std::string> names;
    if (DIR *d = opendir(folder.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

std::string readfile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct TempFolder {
    std::string path;
    TempFolder() {
        char tmpl[] = "/tmp/morrent-delivery-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempFolder() { std::filesystem::remove_all(path); }
};

}  // namespace

TEST(Maildrop, Values) {
    struct Case {
        const char *value;
        bool ok;
        Maildrop::Kind kind;
        std::string folder, host;
        int port;
    } cases[] = {
        {"", true, Maildrop::Kind::pickup, "", "", 25},
        {"  ", true, Maildrop::Kind::pickup, "", "", 25},
        {"/var/spool/pickup", true, Maildrop::Kind::pickup, "/var/spool/pickup", "", 25},
        {"sendmail", true, Maildrop::Kind::sendmail, "", "", 25},
        {"SENDMAIL", true, Maildrop::Kind::sendmail, "", "", 25},
        {"smtp://localhost", true, Maildrop::Kind::smtp, "", "localhost", 25},
        {"smtp://127.0.0.1:2525", true, Maildrop::Kind::smtp, "", "127.0.0.1", 2525},
        {"smtp://[::1]:2525/", true, Maildrop::Kind::smtp, "", "::1", 2525},
        {"smtp://", false, {}, "", "", 0},
        {"smtp://host:0", false, {}, "", "", 0},
        {"smtp://host:99999", false, {}, "", "", 0},
        {"smtp://host:25x", false, {}, "", "", 0},
        {"relative/folder", false, {}, "", "", 0},
        {"/folder/with\nnewline", false, {}, "", "", 0},
        {"imap://host", false, {}, "", "", 0},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.value);
        auto drop = parseMaildrop(k.value);
        ASSERT_EQ(drop.ok(), k.ok);
        if (!k.ok) {
            EXPECT_FALSE(drop.why().empty());
            continue;
        }
        EXPECT_EQ(drop->kind, k.kind);
        EXPECT_EQ(drop->folder, k.folder);
        EXPECT_EQ(drop->host, k.host);
        EXPECT_EQ(drop->port, k.port);
    }
}

TEST(ReplaceTo, OnlyTheToFieldChanges) {
    struct Case {
        const char *what;
        std::string raw;
        std::string want;
    } cases[] = {
        {"simple", "From: a@x\r\nTo: b@x\r\nSubject: s\r\n\r\nTo: body@x\r\n",
         "From: a@x\r\nTo: fwd@y\r\nSubject: s\r\n\r\nTo: body@x\r\n"},
        {"folded To and other case", "TO: b@x,\r\n c@x,\r\n\td@x\r\nSubject: s\r\n\r\nbody",
         "To: fwd@y\r\nSubject: s\r\n\r\nbody"},
        {"second To dropped", "To: b@x\r\nCc: c@x\r\nTo: e@x\r\n\r\n",
         "To: fwd@y\r\nCc: c@x\r\n\r\n"},
        {"no To: added at the end of the header", "From: a@x\r\nSubject: s\r\n\r\nbody\r\n",
         "From: a@x\r\nSubject: s\r\nTo: fwd@y\r\n\r\nbody\r\n"},
        {"fields that only look alike stay", "Resent-To: r@x\r\nTop: t\r\nX-To: x\r\n\r\n",
         "Resent-To: r@x\r\nTop: t\r\nX-To: x\r\nTo: fwd@y\r\n\r\n"},
        {"blank before the colon", "To : b@x\r\n\r\n", "To: fwd@y\r\n\r\n"},
        {"LF line ends", "From: a@x\nTo: b@x\n\nbody\n", "From: a@x\nTo: fwd@y\n\nbody\n"},
        {"header without a body", "From: a@x\r\nTo: b@x", "From: a@x\r\nTo: fwd@y\r\n"},
        {"header without a body or To", "From: a@x", "From: a@x\r\nTo: fwd@y\r\n"},
        {"8-bit bytes elsewhere stay", "Subject: \xe4\xf6\r\nTo: b@x\r\n\r\n\xff\x80",
         "Subject: \xe4\xf6\r\nTo: fwd@y\r\n\r\n\xff\x80"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        Rewritten r = replaceTo(k.raw, "fwd@y");
        EXPECT_EQ(r.head + k.raw.substr(r.restFrom), k.want);
        // Only the header is copied; the body is written from the message itself.
        std::size_t blank = k.raw.find("\r\n\r\n");
        if (blank != std::string::npos) {
            EXPECT_EQ(r.restFrom, blank + 2);
        }
    }
    // The empty forward address of an untouched window is written as it is.
    EXPECT_EQ(replaceTo("To: b@x\r\n\r\n", "").head, "To: \r\n");
}

TEST(Recipients, ForwardAloneOrToAndCc) {
    const std::string raw =
        "From: a@x\r\nTo: Bob <b@x>\r\nCc: c@x\r\nBcc: hidden@x\r\n\r\nbody\r\n";
    EXPECT_EQ(recipientsOf(raw, std::nullopt), (std::vector<std::string>{"b@x", "c@x"}));
    EXPECT_EQ(recipientsOf(raw, std::string("fwd@y")), (std::vector<std::string>{"fwd@y"}));
    EXPECT_EQ(recipientsOf(raw, std::string("Fred <fwd@y>")), (std::vector<std::string>{"fwd@y"}));
    EXPECT_EQ(recipientsOf(raw, std::string(" postmaster ")),
              (std::vector<std::string>{"postmaster"}));
    EXPECT_TRUE(recipientsOf(raw, std::string("")).empty());
}

TEST(LocalDomains, TheRegistryValue) {
    EXPECT_EQ(parseLocalDomains(" Example.ORG, @mail.example.org,,example.org , lan. "),
              (std::vector<std::string>{"example.org", "mail.example.org", "lan"}));
    EXPECT_TRUE(parseLocalDomains("").empty());
    EXPECT_TRUE(parseLocalDomains(" , ").empty());
}

TEST(LocalDomains, DefaultIsTheMailnameAndTheHostsFullName) {
    const char *hosts =
        "127.0.0.1\tlocalhost\n"
        "# 127.0.1.1 office.example.org office\n"
        "127.0.1.1   mail.example.org Mail  # the host\r\n"
        "10.0.0.1 other.example.org mail\n";
    EXPECT_EQ(defaultLocalDomains("example.org\n", "mail", hosts),
              (std::vector<std::string>{"example.org", "mail.example.org"}));
    // A host name that is already whole, and no /etc/mailname.
    EXPECT_EQ(defaultLocalDomains("", "gw.example.net", hosts),
              (std::vector<std::string>{"gw.example.net"}));
    // A host /etc/hosts does not name keeps its own name; the same domain twice counts once.
    EXPECT_EQ(defaultLocalDomains("VM\r\n", "vm", "127.0.0.1 localhost\n"),
              (std::vector<std::string>{"vm"}));
}

TEST(LocalDomains, OnlyLocalRecipientsElseTheAccount) {
    const std::vector<std::string> local = {"example.org", "mail.example.org"};
    struct Case {
        const char *what;
        std::vector<std::string> addresses, recipients, leftOut;
    } cases[] = {
        {"external only", {"carol@external.example"}, {"tessa"}, {"carol@external.example"}},
        {"local only", {"ann@example.org", "Bob@MAIL.Example.Org."},
         {"ann@example.org", "Bob@MAIL.Example.Org."}, {}},
        {"mixed", {"ann@example.org", "carol@external.example", "dave@sub.example.org"},
         {"ann@example.org"}, {"carol@external.example", "dave@sub.example.org"}},
        {"a name without a domain is local", {"postmaster"}, {"postmaster"}, {}},
        {"no address at all", {}, {"tessa"}, {}},
        {"a look-alike domain", {"eve@example.org.evil.example"}, {"tessa"},
         {"eve@example.org.evil.example"}},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        LocalEnvelope e = localRecipients(k.addresses, local, "tessa");
        EXPECT_EQ(e.recipients, k.recipients);
        EXPECT_EQ(e.leftOut, k.leftOut);
    }
}

TEST(LocalDomains, AServiceAccountTakesNoMail) {
    // An account that cannot log in is no one's mailbox; any other shell is a person's.
    EXPECT_FALSE(personsShell("/usr/sbin/nologin"));
    EXPECT_FALSE(personsShell("/sbin/nologin"));
    EXPECT_FALSE(personsShell("/bin/false"));
    EXPECT_TRUE(personsShell("/bin/bash"));
    EXPECT_TRUE(personsShell(""));  // the system's default shell
    EXPECT_TRUE(personsShell("/usr/local/bin/nologin-menu"));

    // With no one to fall back on, a message with no local address is mailed to no one.
    const LocalEnvelope e = localRecipients({"carol@external.example"}, {"example.org"}, "");
    EXPECT_TRUE(e.recipients.empty());
    EXPECT_NE(noRecipientReason(e).find("none of the message's addresses is in the local domains"),
              std::string::npos);
    EXPECT_NE(noRecipientReason(localRecipients({}, {"example.org"}, "")).find("names no one"),
              std::string::npos);

    // Before anything is fetched: only an envelope with no local domain and no person fails.
    Maildrop smtp;
    smtp.kind = Maildrop::Kind::smtp;
    Maildrop sendmail;
    sendmail.kind = Maildrop::Kind::sendmail;
    const Maildrop pickup;
    EXPECT_NE(noLocalRecipient(smtp, {}, "").find("no local recipient"), std::string::npos);
    EXPECT_NE(noLocalRecipient(sendmail, {}, ""), "");
    EXPECT_EQ(noLocalRecipient(smtp, {"example.org"}, ""), "");
    EXPECT_EQ(noLocalRecipient(smtp, {}, "alice"), "");
    EXPECT_EQ(noLocalRecipient(pickup, {}, ""), "");  // a folder has no envelope
    // Over SMTP a bare name is qualified by the first local domain; whole addresses stay.
    EXPECT_EQ(qualified({"alice", "bob@example.org", "Postmaster", "tessa"}, "example.org"),
              (std::vector<std::string>{"alice@example.org", "bob@example.org", "Postmaster",
                                        "tessa@example.org"}));
    EXPECT_EQ(qualified({"alice"}, ""), (std::vector<std::string>{"alice"}));
    EXPECT_TRUE(parseMaildrop(serviceMaildrop));
    EXPECT_EQ(parseMaildrop(serviceMaildrop)->kind, Maildrop::Kind::smtp);
}

TEST(Addresses, UnusableOnes) {
    EXPECT_TRUE(checkForward("fwd@y"));
    EXPECT_FALSE(checkForward("fwd@y\r\nBcc: everyone@z"));
    EXPECT_TRUE(checkAddress("a@x"));
    EXPECT_FALSE(checkAddress(""));
    EXPECT_FALSE(checkAddress("a@x> NOTIFY=NEVER"));
    EXPECT_FALSE(checkAddress("a@x\r\nRCPT TO:<b@x"));
    EXPECT_TRUE(checkEnvelope("", {"a@x"}));
    EXPECT_EQ(checkEnvelope("a@x", {}).why(), "the message names no recipient");
    EXPECT_NE(checkEnvelope("a@x", {"b@x", "c@x>"}).why().find("c@x>"), std::string::npos);
}

TEST(Sendmail, ExplicitRecipientsNeverFromTheHeader) {
    EXPECT_EQ(sendmailArgs("a@x", {"b@x", "-c@x"}),
              (std::vector<std::string>{"-i", "-f", "a@x", "--", "b@x", "-c@x"}));
    EXPECT_EQ(sendmailArgs("", {"b@x"}), (std::vector<std::string>{"-i", "-f", "<>", "--", "b@x"}));
}

TEST(PickupFolder, MessagesAppearWholeInNewOnlyWhenCommitted) {
    TempFolder t;
    const std::string folder = t.path + "/deep/pickup";
    PickupFolder pickup(folder);
    std::string body(100000, 'b');
    body[5] = '\0';
    body[6] = '\xff';
    EXPECT_EQ(pickup.deliver("To: fwd@y\r\n", body).why(), "");
    EXPECT_EQ(pickup.deliver("", "Subject: second\r\n\r\n").why(), "");
    EXPECT_EQ(filesin(folder + "/tmp").size(), 2u);
    EXPECT_TRUE(filesin(folder + "/new").empty());
    EXPECT_EQ(pickup.commit().why(), "");
    EXPECT_TRUE(filesin(folder + "/tmp").empty());
    auto names = filesin(folder + "/new");
    ASSERT_EQ(names.size(), 2u);
    std::vector<std::string> contents;
    for (const auto &n : names) {
        contents.push_back(readfile(folder + "/new/" + n));
        struct stat st;
        ASSERT_EQ(stat((folder + "/new/" + n).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(contents[0], "Subject: second\r\n\r\n");
    EXPECT_EQ(contents[1], "To: fwd@y\r\n" + body);
    EXPECT_TRUE(filesin(folder + "/cur").empty());
    EXPECT_EQ(pickup.commit().why(), "");  // nothing pending: nothing to do

    // A second folder object (another run) never reuses a name.
    PickupFolder again(folder);
    EXPECT_EQ(again.deliver("", "x").why(), "");
    EXPECT_EQ(again.commit().why(), "");
    EXPECT_EQ(filesin(folder + "/new").size(), 3u);
}

TEST(PickupFolder, CommitsByItselfEveryBatch) {
    TempFolder t;
    PickupFolder pickup(t.path);
    for (std::size_t i = 0; i < PickupFolder::batchCount; ++i)
        ASSERT_EQ(pickup.deliver("", "m").why(), "");
    EXPECT_EQ(pickup.pending(), 0u);
    EXPECT_EQ(filesin(t.path + "/new").size(), PickupFolder::batchCount);
}

TEST(PickupFolder, FailuresAreReportedAndLeaveNoPartialFile) {
    TempFolder t;
    // A folder that cannot be made: a file is in the way.
    std::ofstream(t.path + "/file") << "x";
    PickupFolder blocked(t.path + "/file/pickup");
    std::string why = blocked.deliver("", "message").why();
    EXPECT_NE(why.find("cannot create the pickup folder"), std::string::npos) << why;

    // The disk fills up in the middle of a message (a file size limit stands in for it).
    PickupFolder pickup(t.path + "/full");
    ASSERT_EQ(pickup.deliver("", "small").why(), "");
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &old);
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &small);
    why = pickup.deliver("", std::string(100000, 'x')).why();
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &old, nullptr);
    EXPECT_NE(why.find("cannot write"), std::string::npos) << why;
    EXPECT_EQ(pickup.commit().why(), "");
    // The message written before stays delivered; the failed one left nothing behind.
    EXPECT_TRUE(filesin(t.path + "/full/tmp").empty());
    auto names = filesin(t.path + "/full/new");
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(readfile(t.path + "/full/new/" + names[0]), "small");
}
