// The POP3 download engine, driven like a transcript: the server's bytes go in (cut into chunks
// where it matters), the commands sent and the messages delivered come out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/base64.h"
#include "morrent/pop3session.h"

using namespace morrent;

namespace {

std::string uidlisting(std::size_t count);

// One session with a scripted window around it: deliveries and commits are confirmed at once unless
// told otherwise.
struct Conversation {
    Pop3Session s;
    std::string sent;
    std::vector<std::string> delivered;
    std::vector<std::string> statuses;
    bool closed = false;
    bool ended = false;
    bool confirmdeliveries = true;
    bool confirmcommit = true;
    int commits = 0;
    // With deletion on, the UIDL the engine sends after the listing is answered here, unseen, with
    // an id for each message: those transcripts are about the messages and their deletion.
    bool answerUidl = false;

    // The transcripts here are about the login and the messages; STLS and the SASL mechanisms
    // have their own below, and these log in with USER and PASS.
    explicit Conversation(bool deleteAfter = false, PopTls tls = PopTls::off, PopAuth auth = PopAuth::user) {
        s.popauth = auth;
        s.curuser = "alice";
        s.curpass = "secret";
        s.deleteAfter = deleteAfter;
        answerUidl = deleteAfter;
        s.poptls = tls;
        s.resetsession();
    }
    bool starttls = false;
    void apply(Actions a) {
        constexpr std::string_view uidl = "uidl\r\n";
        if (answerUidl && a.send.ends_with(uidl)) {
            a.send.resize(a.send.size() - uidl.size());
            sent += a.send;
            a.send.clear();
            Actions listed = s.feed(uidlisting(std::size_t(s.msgtotal)));
            apply(a);
            apply(std::move(listed));
            return;
        }
        sent += a.send;
        starttls |= a.starttls;
        if (!a.status.empty()) statuses.push_back(a.status);
        closed |= a.close;
        ended |= a.ended;
        if (a.deliver) {
            delivered.push_back(s.message());
            if (confirmdeliveries) apply(s.delivered(true));
        }
        if (a.commit) {
            ++commits;
            if (confirmcommit) apply(s.committed(true));
        }
    }
    // One reply, in one chunk.
    void server(std::string_view bytes) { apply(s.feed(bytes)); }
    // One reply, cut into chunks at the given offsets.
    void server(std::string_view bytes, std::vector<std::size_t> cuts) {
        std::size_t from = 0;
        cuts.push_back(bytes.size());
        for (std::size_t cut : cuts) {
            apply(s.feed(bytes.substr(from, cut - from)));
            from = cut;
        }
    }
    // Takes what was sent since the last call.
    std::string take() {
        std::string out;
        out.swap(sent);
        return out;
    }
};

const std::string kGreeting = "+OK Dovecot ready.\r\n";
const std::string kLogin = "+OK\r\n";
const std::string kPassOk = "+OK Logged in.\r\n";
// Capability lists: one without PIPELINING (every RETR waits for the delivery before it), one with.
const std::string kCapa = "+OK\r\nTOP\r\nUSER\r\nUIDL\r\n.\r\n";
const std::string kCapaPipelining = "+OK Capability list follows\r\nTOP\r\npipelining\r\nUIDL\r\n.\r\n";

std::string listing(const std::vector<std::string> &messages) {
    std::string out = "+OK " + std::to_string(messages.size()) + " messages:\r\n";
    for (std::size_t i = 0; i < messages.size(); ++i)
        out += std::to_string(i + 1) + " " + std::to_string(messages[i].size()) + "\r\n";
    return out + ".\r\n";
}

// The unique id of message n in these tests.
std::string uidof(std::size_t n) {
    return "0000000" + std::to_string(n) + "5f2a1c3e";
}
std::string uidlisting(std::size_t count) {
    std::string out = "+OK\r\n";
    for (std::size_t n = 1; n <= count; ++n) out += std::to_string(n) + " " + uidof(n) + "\r\n";
    return out + ".\r\n";
}

// A RETR reply for a message as it is stored (CR LF lines): dot-stuffed, with the end marker.
std::string retrreply(const std::string &message) {
    std::string out = "+OK " + std::to_string(message.size()) + " octets\r\n";
    bool linestart = true;
    for (char c : message) {
        if (linestart && c == '.') out += '.';
        out += c;
        linestart = c == '\n';
    }
    if (!message.empty() && message.back() != '\n') out += "\r\n";
    return out + ".\r\n";
}

void login(Conversation &c, const std::string &capa = kCapa) {
    c.server(kGreeting);
    c.server(kLogin);
    c.server(kPassOk);
    ASSERT_EQ(c.take(), "user alice\r\npass secret\r\ncapa\r\n");
    c.server(capa);
    ASSERT_EQ(c.take(), "list \r\n");
}

// The scan listing, and the unique-id listing the engine asks for next.
void list(Conversation &c, const std::vector<std::string> &messages) {
    c.server(listing(messages));
    if (c.answerUidl || messages.empty()) return;
    ASSERT_EQ(c.take(), "uidl\r\n");
    c.server(uidlisting(messages.size()));
}

const std::vector<std::string> kThree = {
    "From: a@example.org\r\nSubject: one\r\n\r\nfirst\r\n",
    "From: b@example.org\r\nSubject: two\r\n\r\nsecond\r\n",
    "From: c@example.org\r\nSubject: three\r\n\r\nthird\r\n",
};

}  // namespace

TEST(Pop3Session, ThreeMessagesFromTheHighestDownThenDeleteAndQuit) {
    for (bool deleteAfter : {true, false}) {
        SCOPED_TRACE(deleteAfter ? "deleting" : "keeping");
        Conversation c(deleteAfter);
        login(c);
        list(c, kThree);
        EXPECT_EQ(c.take(), "retr 3\r\n");
        c.server(retrreply(kThree[2]));
        EXPECT_EQ(c.take(), "retr 2\r\n");
        c.server(retrreply(kThree[1]));
        EXPECT_EQ(c.take(), "retr 1\r\n");
        c.server(retrreply(kThree[0]));
        EXPECT_EQ(c.take(), deleteAfter ? "dele 1\r\ndele 2\r\ndele 3\r\nquit\r\n" : "quit\r\n");
        EXPECT_EQ(c.delivered, (std::vector<std::string>{kThree[2], kThree[1], kThree[0]}));
        EXPECT_EQ(c.statuses,
                  (std::vector<std::string>{"downloaded number 3 of 3", "downloaded number 2 of 3",
                                            "downloaded number 1 of 3"}));
        EXPECT_EQ(c.commits, 1);
        EXPECT_FALSE(c.ended);
        if (deleteAfter) c.server("+OK Marked to be deleted.\r\n+OK Marked to be deleted.\r\n");
        if (deleteAfter) c.server("+OK Marked to be deleted.\r\n");
        EXPECT_FALSE(c.ended);
        c.server("+OK Logging out, messages deleted.\r\n");
        EXPECT_TRUE(c.ended);
        EXPECT_TRUE(c.closed);
        EXPECT_EQ(c.s.outcome(), Outcome::succeeded);
        EXPECT_EQ(c.s.summary(), deleteAfter ? "3 new messages delivered, 3 deleted"
                                             : "3 new messages delivered, 0 deleted");
        EXPECT_EQ(c.take(), "");
    }
}

TEST(Pop3Session, RepliesAreRecognisedInAnyCaseAndOnlyAtTheLineStart) {
    Conversation c;
    c.server(" +OK with a blank first\r\n");
    EXPECT_EQ(c.take(), "");
    c.server("+Ok\r\n");
    EXPECT_EQ(c.take(), "user alice\r\n");
    c.server("+oK\r\n");
    EXPECT_EQ(c.take(), "pass secret\r\n");
    c.server("+OK\r\n");
    EXPECT_EQ(c.take(), "capa\r\n");
    c.server("+ok\r\n.\r\n");
    EXPECT_EQ(c.take(), "list \r\n");
}

TEST(Pop3Session, RefusalsEndTheSessionWithoutQuit) {
    struct Case {
        const char *what;
        std::vector<std::string> replies;
        std::string sent;
    } cases[] = {
        {"greeting", {"-ERR go away\r\n"}, ""},
        {"wrong password",
         {kGreeting, kLogin, "-ERR [AUTH] Authentication failed.\r\n"},
         "user alice\r\npass secret\r\n"},
        {"lower-case refusal", {kGreeting, "-err no such user\r\n"}, "user alice\r\n"},
        {"list",
         {kGreeting, kLogin, kPassOk, kCapa, "-ERR busy\r\n"},
         "user alice\r\npass secret\r\ncapa\r\nlist \r\n"},
        {"retr",
         {kGreeting, kLogin, kPassOk, kCapa, "+OK\r\n1 10\r\n.\r\n", "-ERR gone\r\n"},
         "user alice\r\npass secret\r\ncapa\r\nlist \r\nretr 1\r\n"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        Conversation c(true);
        for (const auto &r : k.replies) c.server(r);
        EXPECT_EQ(c.take(), k.sent);
        EXPECT_TRUE(c.ended);
        EXPECT_TRUE(c.closed);
        EXPECT_TRUE(c.delivered.empty());
        EXPECT_EQ(c.s.outcome(), Outcome::failed);
        EXPECT_EQ(c.s.reason().rfind("server said: -", 0), 0u) << c.s.reason();
        // Nothing more is answered on that connection.
        c.server("+OK\r\n");
        EXPECT_EQ(c.take(), "");
    }
}

TEST(Pop3Session, TheServerEchoingThePasswordDoesNotShowIt) {
    Conversation c;
    c.server(kGreeting);
    c.server(kLogin);
    c.server("-ERR bad password secret for alice\r\n");
    EXPECT_EQ(c.s.reason().find("secret"), std::string::npos) << c.s.reason();
    ASSERT_EQ(c.statuses.size(), 1u);
    EXPECT_EQ(c.statuses[0].find("secret"), std::string::npos);
}

// ---- CAPA ----

TEST(Pop3Session, AServerWithoutCapaIsServedAsBefore) {
    // RFC 1939 alone knows no CAPA: its refusal is no failure, and nothing is pipelined.
    Conversation c(true);
    c.server(kGreeting);
    c.server(kLogin);
    c.server(kPassOk);
    EXPECT_EQ(c.take(), "user alice\r\npass secret\r\ncapa\r\n");
    c.server("-ERR Unknown command: CAPA\r\n");
    EXPECT_EQ(c.take(), "list \r\n");
    c.server(listing(kThree));
    EXPECT_EQ(c.take(), "retr 3\r\n");
    EXPECT_FALSE(c.ended);
}

// ---- unique ids, with deletion off ----

TEST(Pop3Session, MessagesAlreadyDeliveredAreNotFetchedAgain) {
    Conversation c;
    c.s.seenUids = {uidof(2), "an id no longer on the server"};
    login(c);
    list(c, kThree);
    EXPECT_EQ(c.take(), "retr 3\r\n");
    EXPECT_EQ(c.s.messageUid(), uidof(3));
    c.server(retrreply(kThree[2]));
    EXPECT_EQ(c.take(), "retr 1\r\n");
    EXPECT_EQ(c.s.messageUid(), uidof(1));
    c.server(retrreply(kThree[0]));
    EXPECT_EQ(c.take(), "quit\r\n");
    EXPECT_EQ(c.delivered, (std::vector<std::string>{kThree[2], kThree[0]}));
    EXPECT_EQ(c.statuses, (std::vector<std::string>{"downloaded number 3 of 3",
                                                    "downloaded number 1 of 3"}));
    // The ids on the server, for the record to forget the others.
    EXPECT_TRUE(c.s.uidsKnown());
    EXPECT_EQ(c.s.serverUids(), (std::vector<std::string>{uidof(1), uidof(2), uidof(3)}));
    c.server("+OK bye\r\n");
    EXPECT_EQ(c.s.outcome(), Outcome::succeeded);
    EXPECT_EQ(c.s.summary(), "2 new messages delivered, 0 deleted");
}

TEST(Pop3Session, NothingNewQuitsWithoutCommit) {
    Conversation c;
    c.s.seenUids = {uidof(1), uidof(2), uidof(3)};
    login(c);
    list(c, kThree);
    EXPECT_EQ(c.take(), "quit\r\n");
    EXPECT_EQ(c.commits, 0);
    EXPECT_TRUE(c.delivered.empty());
    EXPECT_EQ(c.s.progress().messages, 0);
    c.server("+OK bye\r\n");
    EXPECT_EQ(c.s.outcome(), Outcome::succeeded);
    EXPECT_EQ(c.s.summary(), "0 new messages delivered, 0 deleted");
}

// With deletion on, what a failed run delivered is not delivered again; it is deleted with the
// rest, and when nothing is new, the rest is deleted all the same.
TEST(Pop3Session, DeletionSkipsWhatAnEarlierRunDeliveredAndDeletesIt) {
    for (const bool allSeen : {false, true}) {
        SCOPED_TRACE(allSeen ? "nothing new" : "one new");
        Conversation c(true);
        c.answerUidl = false;
        c.s.seenUids = {uidof(2), uidof(3)};
        if (allSeen) c.s.seenUids.insert(uidof(1));
        login(c);
        c.server(listing(kThree));
        EXPECT_EQ(c.take(), "uidl\r\n");
        c.server(uidlisting(3));
        if (!allSeen) {
            EXPECT_EQ(c.take(), "retr 1\r\n");
            c.server(retrreply(kThree[0]));
        }
        EXPECT_EQ(c.take(), "dele 1\r\ndele 2\r\ndele 3\r\nquit\r\n");
        EXPECT_EQ(c.delivered.size(), allSeen ? 0u : 1u);
    }
}

TEST(Pop3Session, UnusableUniqueIdsFetchEverythingAndSaySoOnce) {
    struct Case {
        const char *what;
        std::string reply;
    } cases[] = {
        {"UIDL refused", "-ERR Unknown command\r\n"},
        {"a message without an id", "+OK\r\n1 aaa\r\n3 ccc\r\n.\r\n"},
        {"an id twice for one message", "+OK\r\n1 aaa\r\n2 bbb\r\n2 bbb\r\n3 ccc\r\n.\r\n"},
        {"a number beyond the listing", "+OK\r\n1 aaa\r\n2 bbb\r\n3 ccc\r\n4 ddd\r\n.\r\n"},
        {"a blank in an id", "+OK\r\n1 aaa\r\n2 b b\r\n3 ccc\r\n.\r\n"},
        {"no number", "+OK\r\n1 aaa\r\nx bbb\r\n3 ccc\r\n.\r\n"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        Conversation c;
        c.s.seenUids = {"aaa", "bbb", "ccc"};
        login(c);
        c.server(listing(kThree));
        EXPECT_EQ(c.take(), "uidl\r\n");
        Actions a = c.s.feed(k.reply);
        EXPECT_FALSE(a.note.empty());
        EXPECT_NE(a.note.find("every message is fetched"), std::string::npos) << a.note;
        c.apply(a);
        EXPECT_EQ(c.take(), "retr 3\r\n");
        EXPECT_FALSE(c.s.uidsKnown());
        EXPECT_EQ(c.s.messageUid(), "");
        for (int n = 3; n >= 1; --n) {
            Actions more = c.s.feed(retrreply(kThree[n - 1]));
            EXPECT_TRUE(more.note.empty());
            c.apply(more);
        }
        EXPECT_EQ(c.delivered.size(), 3u);
        EXPECT_FALSE(c.ended);
    }
}

TEST(Pop3Session, EmptyMailboxForgetsEveryId) {
    Conversation c;
    c.s.seenUids = {uidof(1)};
    login(c);
    c.server("+OK 0 messages:\r\n.\r\n");
    EXPECT_EQ(c.take(), "quit\r\n");  // no UIDL needed to know that none is left
    EXPECT_TRUE(c.s.uidsKnown());
    EXPECT_TRUE(c.s.serverUids().empty());
}

// ---- chunk boundaries ----

// Every reply of a whole session is cut at every offset, and then fed a byte at a time: the
// commands and the delivered messages never change. With pipelining the server's replies to the
// RETRs come as one stream, and so they are cut as one.
TEST(Pop3Session, ChunkBoundariesNeverChangeTheOutcome) {
    const std::vector<std::string> messages = {
        "Subject: dots\r\n\r\n.leading dot\r\n..two dots\r\n.\r\nRegards.\r\n",
        "Subject: ends in a dot line\r\n\r\nRegards.\r\n.x\r\n",
        std::string("Subject: 8bit\r\n\r\ngr\xc3\xbc\xc3\x9f"
                    "e ") +
            std::string(1, '\0') + "\xff\x80\r\n",
    };
    for (bool pipelined : {false, true}) {
        for (bool deleteAfter : {true, false}) {
            SCOPED_TRACE(std::string(pipelined ? "pipelined" : "one at a time") +
                         (deleteAfter ? ", deleting" : ", keeping"));
            std::vector<std::string> replies = {kGreeting, kLogin, kPassOk,
                                                pipelined ? kCapaPipelining : kCapa,
                                                listing(messages)};
            if (!deleteAfter) replies.push_back(uidlisting(3));
            std::string retrs;
            for (int n = 3; n >= 1; --n) {
                if (pipelined)
                    retrs += retrreply(messages[n - 1]);
                else
                    replies.push_back(retrreply(messages[n - 1]));
            }
            if (pipelined) replies.push_back(retrs);
            replies.push_back(deleteAfter ? "+OK\r\n+OK\r\n+OK\r\n+OK bye\r\n" : "+OK bye\r\n");
            const std::string wantsent =
                std::string("user alice\r\npass secret\r\ncapa\r\nlist \r\n") +
                (deleteAfter ? "" : "uidl\r\n") + "retr 3\r\nretr 2\r\nretr 1\r\n" +
                (deleteAfter ? "dele 1\r\ndele 2\r\ndele 3\r\n" : "") + "quit\r\n";
            const std::vector<std::string> wantdelivered = {messages[2], messages[1], messages[0]};

            auto check = [&](Conversation &c) {
                EXPECT_EQ(c.sent, wantsent);
                EXPECT_EQ(c.delivered, wantdelivered);
                EXPECT_TRUE(c.ended);
                EXPECT_EQ(c.s.outcome(), Outcome::succeeded);
            };
            for (std::size_t r = 0; r < replies.size(); ++r) {
                for (std::size_t cut = 1; cut < replies[r].size(); ++cut) {
                    Conversation c(deleteAfter);
                    for (std::size_t k = 0; k < replies.size(); ++k)
                        k == r ? c.server(replies[k], {cut}) : c.server(replies[k]);
                    SCOPED_TRACE("reply " + std::to_string(r) + " cut at " + std::to_string(cut));
                    check(c);
                    if (::testing::Test::HasFailure()) return;
                }
            }
            Conversation c(deleteAfter);
            for (const auto &reply : replies) {
                std::vector<std::size_t> cuts;
                for (std::size_t i = 1; i < reply.size(); ++i) cuts.push_back(i);
                c.server(reply, cuts);
            }
            SCOPED_TRACE("a byte at a time");
            check(c);
        }
    }
}

TEST(Pop3Session, StatusLineAndDataInOneChunk) {
    Conversation c(true);
    login(c);
    // The LIST status line and the whole listing together.
    c.server("+OK 2 messages:\r\n1 20\r\n2 30\r\n.\r\n");
    EXPECT_EQ(c.take(), "retr 2\r\n");
    // The RETR status line and the whole message together.
    c.server("+OK 30 octets\r\nSubject: two\r\n\r\nbody\r\n.\r\n");
    EXPECT_EQ(c.take(), "retr 1\r\n");
    ASSERT_EQ(c.delivered.size(), 1u);
    EXPECT_EQ(c.delivered[0], "Subject: two\r\n\r\nbody\r\n");
}

TEST(Pop3Session, MessageTextThatLooksLikeAReply) {
    // Text chunks that begin with "-err" or "+ok" are message text, not replies.
    Conversation c(true);
    login(c);
    c.server("+OK\r\n1 50\r\n.\r\n");
    c.take();
    c.server("+OK\r\nSubject: x\r\n\r\n");
    c.server("-ERR is how a refusal starts\r\n");
    c.server("+OK is how an answer starts\r\n.\r\n");
    EXPECT_FALSE(c.ended);
    ASSERT_EQ(c.delivered.size(), 1u);
    EXPECT_EQ(c.delivered[0],
              "Subject: x\r\n\r\n-ERR is how a refusal starts\r\n+OK is how an answer starts\r\n");
    EXPECT_EQ(c.take(), "dele 1\r\nquit\r\n");
}

TEST(Pop3Session, EndOfMessageHandling) {
    struct Case {
        const char *what;
        std::vector<std::string> chunks;  // after the RETR status line
        std::string want;
    } cases[] = {
        {"text line then end marker",
         {"Subject: a\r\n\r\nline\r\n.\r\n"},
         "Subject: a\r\n\r\nline\r\n"},
        {"one empty line before the marker goes with it",
         {"Subject: a\r\n\r\nline\r\n\r\n.\r\n"},
         "Subject: a\r\n\r\nline\r\n"},
        {"marker split after the dot",
         {"Subject: a\r\n\r\nline\r\n.", "\r\n"},
         "Subject: a\r\n\r\nline\r\n"},
        {"marker split after the CR",
         {"Subject: a\r\n\r\nline\r\n.\r", "\n"},
         "Subject: a\r\n\r\nline\r\n"},
        {"chunk ends after a line ending in a dot",
         {"Subject: a\r\n\r\nRegards.\r\n", "more text\r\n.\r\n"},
         "Subject: a\r\n\r\nRegards.\r\nmore text\r\n"},
        {"dot-stuffed lines are un-stuffed",
         {"Subject: a\r\n\r\n..\r\n...\r\n..hidden\r\n.\r\n"},
         "Subject: a\r\n\r\n.\r\n..\r\n.hidden\r\n"},
        {"a dot and CR that are not the marker",
         {"Subject: a\r\n\r\n.\rX\r\n.\r\n"},
         "Subject: a\r\n\r\n\rX\r\n"},
        {"a bare LF does not start a line",
         {"A: b\r\n\r\nx\n.y\r\n.\r\n"},
         "A: b\r\n\r\nx\n.y\r\n"},
        {"an empty message", {".\r\n"}, ""},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        Conversation c(true);
        login(c);
        c.server("+OK\r\n1 100\r\n.\r\n");
        EXPECT_EQ(c.take(), "retr 1\r\n");
        c.server("+OK message follows\r\n");
        for (const auto &chunk : k.chunks) c.server(chunk);
        ASSERT_EQ(c.delivered.size(), 1u);
        EXPECT_EQ(c.delivered[0], k.want);
        EXPECT_EQ(c.take(), "dele 1\r\nquit\r\n");
    }
}

TEST(Pop3Session, ListingWhoseEndMarkerIsSplitCountsEveryMessage) {
    Conversation c(true);
    login(c);
    c.server("+OK\r\n1 10\r\n2 10\r\n.");
    EXPECT_EQ(c.take(), "");
    c.server("\r\n");
    EXPECT_EQ(c.take(), "retr 2\r\n");
    EXPECT_EQ(c.s.msgtotal, 2);
}

TEST(Pop3Session, EmptyMailboxQuitsAtOnce) {
    Conversation c(true);
    login(c);
    c.server("+OK 0 messages:\r\n.\r\n");
    EXPECT_EQ(c.take(), "quit\r\n");
    EXPECT_EQ(c.commits, 0);
    c.server("+OK Logging out.\r\n");
    EXPECT_TRUE(c.ended);
    EXPECT_EQ(c.s.outcome(), Outcome::succeeded);
}

TEST(Pop3Session, NothingIsAnsweredAfterQuit) {
    Conversation c(true);
    login(c);
    c.server("+OK\r\n1 5\r\n.\r\n");
    c.server("+OK\r\nA: b\r\n.\r\n");
    EXPECT_EQ(c.take(), "retr 1\r\ndele 1\r\nquit\r\n");
    // The DELE reply and the QUIT reply: no USER, no PASS, and the session closes at QUIT's reply.
    c.server("+OK\r\n");
    EXPECT_FALSE(c.ended);
    c.server("+OK bye\r\n+OK\r\n+OK\r\n");
    EXPECT_EQ(c.take(), "");
    EXPECT_TRUE(c.ended);
    EXPECT_TRUE(c.closed);
}

TEST(Pop3Session, NextMessageOnlyAfterTheDeliveryIsConfirmed) {
    Conversation c(true);
    c.confirmdeliveries = false;
    login(c);
    c.server(listing(kThree));
    c.take();
    c.server(retrreply(kThree[2]));
    EXPECT_EQ(c.take(), "");  // waiting for the delivery
    EXPECT_EQ(c.s.phase(), Phase::delivering);
    c.server("+OK something unasked\r\n-ERR and a piece");  // not an answer to anything
    EXPECT_EQ(c.take(), "");
    EXPECT_EQ(c.s.backlog(), 0u);
    EXPECT_FALSE(c.ended);
    c.apply(c.s.delivered(true));
    EXPECT_EQ(c.take(), "retr 2\r\n");
    c.apply(c.s.delivered(true));  // a second confirmation of the same message changes nothing
    EXPECT_EQ(c.take(), "");
    c.server(retrreply(kThree[1]));  // read afresh, nothing of the stray piece before it
    EXPECT_EQ(c.delivered.back(), kThree[1]);
}

// ---- pipelining ----

TEST(Pop3Session, PipelinedRepliesWaitForEachDelivery) {
    Conversation c(true);
    c.confirmdeliveries = false;
    login(c, kCapaPipelining);
    c.server(listing(kThree));
    EXPECT_EQ(c.take(), "retr 3\r\nretr 2\r\nretr 1\r\n");
    // All three replies at once: one message goes out, the rest waits.
    c.server(retrreply(kThree[2]) + retrreply(kThree[1]) + retrreply(kThree[0]));
    EXPECT_EQ(c.delivered, std::vector<std::string>{kThree[2]});
    EXPECT_EQ(c.s.backlog(), retrreply(kThree[1]).size() + retrreply(kThree[0]).size());
    c.apply(c.s.delivered(true));
    EXPECT_EQ(c.delivered, (std::vector<std::string>{kThree[2], kThree[1]}));
    EXPECT_EQ(c.take(), "");
    EXPECT_EQ(c.commits, 0);
    c.apply(c.s.delivered(true));
    c.apply(c.s.delivered(true));
    EXPECT_EQ(c.delivered, (std::vector<std::string>{kThree[2], kThree[1], kThree[0]}));
    EXPECT_EQ(c.s.backlog(), 0u);
    // DELE only once every message is delivered and made durable.
    EXPECT_EQ(c.commits, 1);
    EXPECT_EQ(c.take(), "dele 1\r\ndele 2\r\ndele 3\r\nquit\r\n");
}

TEST(Pop3Session, PipelineIsBoundedInCommandsAndBytes) {
    {
        // Many small messages: as many RETRs as the bound allows, then more in a group once
        // half of them are answered.
        const int half = int(Pop3Session::pipelineCommands) / 2;
        std::vector<std::string> many(50, "Subject: small\r\n\r\nx\r\n");
        Conversation c(true);
        c.confirmdeliveries = false;
        login(c, kCapaPipelining);
        c.server(listing(many));
        auto retrs = [](int from, int count) {
            std::string out;
            for (int n = from; n > from - count; --n) out += "retr " + std::to_string(n) + "\r\n";
            return out;
        };
        EXPECT_EQ(c.take(), retrs(50, int(Pop3Session::pipelineCommands)));
        for (int k = 1; k < half; ++k) {
            c.server(retrreply(many[0]));
            c.apply(c.s.delivered(true));
        }
        EXPECT_EQ(c.take(), "");
        c.server(retrreply(many[0]));
        c.apply(c.s.delivered(true));
        EXPECT_EQ(c.take(), retrs(50 - int(Pop3Session::pipelineCommands), half));
    }
    {
        // Large ones: only as many as fit the byte bound; one larger than the bound goes alone.
        const std::size_t third = Pop3Session::pipelineBytes / 3 + 1;
        std::vector<std::string> big = {std::string(third, 'a'), std::string(third, 'b'),
                                        std::string(third, 'c'),
                                        std::string(Pop3Session::pipelineBytes * 2, 'd')};
        Conversation c(true);
        c.confirmdeliveries = false;
        login(c, kCapaPipelining);
        c.server("+OK\r\n1 " + std::to_string(third) + "\r\n2 " + std::to_string(third) +
                 "\r\n3 " + std::to_string(third) + "\r\n4 " +
                 std::to_string(Pop3Session::pipelineBytes * 2) + "\r\n.\r\n");
        EXPECT_EQ(c.take(), "retr 4\r\n");
        c.server(retrreply(big[3]));
        c.apply(c.s.delivered(true));
        EXPECT_EQ(c.take(), "retr 3\r\nretr 2\r\n");
    }
}

TEST(Pop3Session, FailedDeliveryWithPipelinedRepliesOutstandingEndsAtOnce) {
    Conversation c(true);
    c.confirmdeliveries = false;
    login(c, kCapaPipelining);
    c.server(listing(kThree));
    c.take();
    c.server(retrreply(kThree[2]) + retrreply(kThree[1]));
    c.apply(c.s.delivered(false, "the mail service said: 452 4.3.1 full"));
    // QUIT goes behind the RETRs in the pipeline; nothing was deleted, so nothing waits for it.
    EXPECT_EQ(c.take(), "quit\r\n");
    EXPECT_TRUE(c.ended);
    EXPECT_TRUE(c.closed);
    EXPECT_EQ(c.s.outcome(), Outcome::failed);
    EXPECT_EQ(c.s.reason(), "delivery failed: the mail service said: 452 4.3.1 full");
    EXPECT_EQ(c.delivered.size(), 1u);
    EXPECT_EQ(c.commits, 0);
}

TEST(Pop3Session, ProgressCountsTheSessionsMessagesAndBytes) {
    Conversation c;
    c.confirmdeliveries = false;
    c.s.seenUids = {uidof(3)};
    login(c, kCapaPipelining);
    list(c, kThree);
    Progress p = c.s.progress();
    EXPECT_EQ(p.messages, 2);
    EXPECT_EQ(p.delivered, 0);
    EXPECT_EQ(p.bytes, kThree[1].size() + kThree[0].size());
    EXPECT_EQ(p.bytesDone, 0u);
    const std::string reply = retrreply(kThree[1]);
    c.server(reply.substr(0, reply.size() - 9));  // part of the text
    EXPECT_GT(c.s.progress().bytesDone, 0u);
    EXPECT_LT(c.s.progress().bytesDone, kThree[1].size());
    c.server(reply.substr(reply.size() - 9));
    c.apply(c.s.delivered(true));
    p = c.s.progress();
    EXPECT_EQ(p.delivered, 1);
    EXPECT_EQ(p.bytesDone, kThree[1].size());
}

// ---- durability and failures ----

TEST(Pop3Session, NoDeleBeforeEveryMessageIsDurable) {
    Conversation c(true);
    c.confirmcommit = false;
    login(c);
    c.server(listing(kThree));
    for (int n = 3; n >= 1; --n) c.server(retrreply(kThree[n - 1]));
    EXPECT_EQ(c.take(), "retr 3\r\nretr 2\r\nretr 1\r\n");
    EXPECT_EQ(c.commits, 1);
    EXPECT_EQ(c.s.phase(), Phase::committing);
    c.apply(c.s.committed(true));
    EXPECT_EQ(c.take(), "dele 1\r\ndele 2\r\ndele 3\r\nquit\r\n");
}

TEST(Pop3Session, FailedDeliveryOrCommitQuitsWithoutDele) {
    for (bool atcommit : {false, true}) {
        SCOPED_TRACE(atcommit ? "commit fails" : "second delivery fails");
        Conversation c(true);
        c.confirmdeliveries = !atcommit;
        c.confirmcommit = false;
        login(c);
        c.server(listing(kThree));
        c.take();
        if (atcommit) {
            for (int n = 3; n >= 1; --n) {
                c.server(retrreply(kThree[n - 1]));
                c.apply(c.s.delivered(true));
            }
            c.take();
            c.apply(c.s.committed(false, "cannot sync the pickup folder: No space left on device"));
        } else {
            c.confirmdeliveries = true;
            c.server(retrreply(kThree[2]));
            c.confirmdeliveries = false;
            c.server(retrreply(kThree[1]));
            c.take();
            c.apply(c.s.delivered(false, "the mail service said: 554 5.7.1 refused"));
        }
        EXPECT_EQ(c.take(), "quit\r\n");
        const std::string want =
            atcommit ? "delivery failed: cannot sync the pickup folder: No space left on device"
                     : "delivery failed: the mail service said: 554 5.7.1 refused";
        ASSERT_FALSE(c.statuses.empty());
        EXPECT_EQ(c.statuses.back(), want);
        c.server("+OK bye\r\n");
        EXPECT_TRUE(c.ended);
        EXPECT_EQ(c.s.outcome(), Outcome::failed);
        EXPECT_EQ(c.s.reason(), want);
    }
}

TEST(Pop3Session, EveryWayOfEndingEarlyIsAFailure) {
    struct Case {
        const char *what;
        Actions (*end)(Pop3Session &);
        const char *reason;
    } cases[] = {
        {"time-out", [](Pop3Session &s) { return s.timeout(); },
         "no answer from the server for 30 seconds"},
        {"server closed", [](Pop3Session &s) { return s.serverClosed(); },
         "the server closed the connection"},
        {"socket error", [](Pop3Session &s) { return s.socketError("Connection refused"); },
         "connection failed: Connection refused"},
        {"disconnect now", [](Pop3Session &s) { return s.disconnect(); },
         "disconnected before the session ended"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        Conversation c(true);
        login(c);
        c.server("+OK\r\n1 40\r\n.\r\n");
        c.server("+OK\r\nSubject: half a mess");  // cut off in the middle of the message
        c.apply(k.end(c.s));
        EXPECT_TRUE(c.ended);
        EXPECT_TRUE(c.closed);
        EXPECT_EQ(c.s.outcome(), Outcome::failed);
        EXPECT_EQ(c.s.reason(), k.reason);
        EXPECT_EQ(c.statuses.back(), k.reason);
        EXPECT_TRUE(c.delivered.empty());
        EXPECT_EQ(c.take(), "retr 1\r\n");
        // Further ticks and events change nothing.
        Actions later = c.s.timeout();
        EXPECT_FALSE(later.ended);
        EXPECT_EQ(c.s.reason(), k.reason);
    }
}

TEST(Pop3Session, ASessionThatCannotStartSendsNothing) {
    Conversation c;
    c.apply(c.s.abandon("another run is fetching this mailbox"));
    EXPECT_TRUE(c.ended);
    EXPECT_EQ(c.take(), "");
    EXPECT_EQ(c.s.outcome(), Outcome::failed);
    EXPECT_EQ(c.s.reason(), "another run is fetching this mailbox");
    c.server(kGreeting);
    EXPECT_EQ(c.take(), "");
}

TEST(Pop3Session, EndingAfterQuit) {
    // Without DELE the session is complete once QUIT is out; with DELE, only QUIT's answer tells
    // that the deletions were committed.
    for (bool deleteAfter : {false, true}) {
        for (bool timeout : {false, true}) {
            SCOPED_TRACE(std::string(deleteAfter ? "dele" : "no dele") +
                         (timeout ? ", timeout" : ", closed"));
            Conversation c(deleteAfter);
            login(c);
            list(c, {"A: b\r\n"});
            c.server("+OK\r\nA: b\r\n.\r\n");
            c.apply(timeout ? c.s.timeout() : c.s.serverClosed());
            EXPECT_TRUE(c.ended);
            EXPECT_EQ(c.s.outcome(), deleteAfter ? Outcome::failed : Outcome::succeeded);
            EXPECT_EQ(c.s.deletedCount(), 0);
        }
    }
}

TEST(Pop3Session, RefusedDeleFailsTheSessionButQuitStillEndsIt) {
    Conversation c(true);
    login(c);
    c.server("+OK\r\n1 5\r\n2 5\r\n.\r\n");
    c.server("+OK\r\nA: b\r\n.\r\n");
    c.server("+OK\r\nA: c\r\n.\r\n");
    EXPECT_EQ(c.take(), "retr 2\r\nretr 1\r\ndele 1\r\ndele 2\r\nquit\r\n");
    c.server("+OK\r\n-ERR message 2 is locked\r\n");
    EXPECT_FALSE(c.ended);
    c.server("+OK\r\n");
    EXPECT_TRUE(c.ended);
    EXPECT_EQ(c.s.outcome(), Outcome::failed);
    EXPECT_EQ(c.s.reason(), "server said: -ERR message 2 is locked");
    EXPECT_EQ(c.s.summary(), "2 new messages delivered, 1 deleted");
}

TEST(Pop3Session, OverlongLinesEndTheSession) {
    Conversation c;
    c.server(std::string(Pop3Session::maxline, '+'));
    EXPECT_FALSE(c.ended);
    c.server("x");
    EXPECT_TRUE(c.ended);
    EXPECT_EQ(c.s.outcome(), Outcome::failed);
}

TEST(Pop3Session, LargeMessageArrivesWholeAndReservesItsListedSize) {
    std::string big = "Subject: big\r\n\r\n";
    while (big.size() < (5u << 20))
        big += std::string(998, 'x') + "\r\n.line starting with a dot\r\n";
    Conversation c(true);
    login(c);
    c.server("+OK\r\n1 " + std::to_string(big.size()) + "\r\n.\r\n");
    c.take();
    c.confirmdeliveries = false;
    std::string reply = retrreply(big);
    for (std::size_t at = 0; at < reply.size(); at += 65536) c.server(reply.substr(at, 65536));
    ASSERT_EQ(c.delivered.size(), 1u);
    EXPECT_TRUE(c.delivered[0] == big);
    EXPECT_LE(c.s.message().capacity(), big.size() + 1024);  // no doubling while it grew
}

TEST(Pop3Session, ResetsessionStartsAfresh) {
    Conversation c(true);
    login(c);
    c.server("-ERR\r\n");
    EXPECT_TRUE(c.ended);
    c.s.resetsession();
    EXPECT_EQ(c.s.phase(), Phase::greeting);
    EXPECT_FALSE(c.s.usersent || c.s.passsent || c.s.listsent || c.s.listok || c.s.counted ||
                 c.s.msgdone || c.s.quitsent || c.s.deleting);
    EXPECT_EQ(c.s.msgtotal, 0);
    EXPECT_EQ(c.s.outcome(), Outcome::running);
    EXPECT_EQ(c.s.curuser, "alice");
    c.server(kGreeting);
    EXPECT_EQ(c.take(), "user alice\r\n");
}

// ---- STLS before the login ----------------------------------------------------------------

TEST(Pop3SessionTls, StlsOfferedIsUsedBeforeAnyWordOfTheLogin) {
    Conversation c(false, PopTls::automatic);
    c.apply(c.s.feed("+OK ready\r\n"));
    EXPECT_EQ(c.sent, "capa\r\n");
    c.apply(c.s.feed("+OK\r\nUSER\r\nST"));
    c.apply(c.s.feed("LS\r\n.\r\n"));
    EXPECT_EQ(c.sent, "capa\r\nstls\r\n");
    // What follows the answer in the clear is dropped, never read as a reply.
    c.apply(c.s.feed("+OK begin\r\n+OK injected\r\n"));
    EXPECT_TRUE(c.starttls);
    EXPECT_EQ(c.s.phase(), Phase::handshake);
    EXPECT_EQ(c.sent, "capa\r\nstls\r\n");
    c.apply(c.s.tlsReady());
    EXPECT_EQ(c.sent, "capa\r\nstls\r\nuser alice\r\n");
    EXPECT_TRUE(c.s.encrypted());
}

TEST(Pop3SessionTls, NoFallBackToTheClear) {
    // STLS offered and refused: the session ends with nothing of the login sent.
    Conversation refused(false, PopTls::automatic);
    refused.apply(refused.s.feed("+OK\r\n"));
    refused.apply(refused.s.feed("+OK\r\nSTLS\r\n.\r\n"));
    refused.apply(refused.s.feed("-ERR not today\r\n"));
    EXPECT_TRUE(refused.ended);
    EXPECT_EQ(refused.sent, "capa\r\nstls\r\n");
    EXPECT_EQ(refused.s.outcome(), Outcome::failed);

    // A server that offers no STLS (a man in the middle may strip it): with require, no login.
    Conversation stripped(false, PopTls::require);
    stripped.apply(stripped.s.feed("+OK\r\n"));
    stripped.apply(stripped.s.feed("+OK\r\nUSER\r\nPIPELINING\r\n.\r\n"));
    EXPECT_EQ(stripped.sent, "capa\r\nquit\r\n");
    EXPECT_NE(stripped.s.reason().find("poptls=require"), std::string::npos);

    // auto, and no STLS: the login goes in the clear, as the server allows.
    Conversation plain(false, PopTls::automatic);
    plain.apply(plain.s.feed("+OK\r\n"));
    plain.apply(plain.s.feed("-ERR unknown command\r\n"));
    EXPECT_EQ(plain.sent, "capa\r\nuser alice\r\n");
    EXPECT_FALSE(plain.s.encrypted());

    // TLS from the first byte: no STLS asked, and TLS only once the handshake is done.
    Conversation implicit(false, PopTls::require);
    implicit.s.implicitTls = true;
    implicit.s.resetsession();
    EXPECT_FALSE(implicit.s.encrypted());
    implicit.apply(implicit.s.tlsReady());
    EXPECT_TRUE(implicit.s.encrypted());
    implicit.apply(implicit.s.feed("+OK\r\n"));
    EXPECT_EQ(implicit.sent, "user alice\r\n");
    EXPECT_TRUE(implicit.s.encrypted());
}

TEST(Pop3SessionTls, AFailedPop3sHandshakeIsNoTlsSession) {
    Conversation c(false, PopTls::automatic);
    c.s.implicitTls = true;
    c.s.resetsession();
    c.apply(c.s.socketError("certificate for localhost has expired"));
    EXPECT_TRUE(c.ended);
    EXPECT_FALSE(c.s.encrypted());
    EXPECT_EQ(c.s.summary(), "0 new messages delivered, 0 deleted");
    // Nor is the next session, when the last one was TLS.
    c.s.resetsession();
    c.apply(c.s.tlsReady());
    EXPECT_TRUE(c.s.encrypted());
    c.s.resetsession();
    EXPECT_FALSE(c.s.encrypted());
}

// A pinned certificate is checked only under TLS: with a pin, a server (or a man in the middle)
// that offers no STLS gets no USER and no PASS, whatever poptls says.
TEST(Pop3SessionTls, APinMakesTlsAMust) {
    struct Case {
        const char *what;
        PopTls tls;
        std::string capa;
        std::string sent;
    } cases[] = {
        {"auto, STLS left out", PopTls::automatic, "+OK\r\nUSER\r\nPIPELINING\r\n.\r\n",
         "capa\r\nquit\r\n"},
        {"auto, CAPA refused", PopTls::automatic, "-ERR what?\r\n", "capa\r\nquit\r\n"},
        {"off", PopTls::off, "+OK\r\nUSER\r\n.\r\n", "capa\r\nquit\r\n"},
        {"auto, STLS offered", PopTls::automatic, "+OK\r\nSTLS\r\n.\r\n", "capa\r\nstls\r\n"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        Conversation c(false, k.tls);
        c.s.pinned = true;
        c.server("+OK ready\r\n");
        c.server(k.capa);
        EXPECT_EQ(c.take(), k.sent);
        if (k.sent.find("quit") == std::string::npos) continue;
        EXPECT_EQ(c.s.reason(),
                  "the server offers no STLS, and with tlsfingerprint set no login goes out in the "
                  "clear");
        c.server("+OK bye\r\n");
        EXPECT_TRUE(c.ended);
        EXPECT_EQ(c.s.outcome(), Outcome::failed);
    }
    // POP3S with a pin: TLS from the first byte, the login as usual.
    Conversation implicit(false, PopTls::automatic);
    implicit.s.pinned = true;
    implicit.s.implicitTls = true;
    implicit.s.resetsession();
    implicit.apply(implicit.s.tlsReady());
    implicit.server("+OK\r\n");
    EXPECT_EQ(implicit.take(), "user alice\r\n");
}

// ---- a hostile server: every answer has a bound on its size, every wait a deadline ----------

TEST(Pop3SessionBounds, ARetrAnswerLongerThanListedEndsTheRun) {
    // Message 2 is listed at 100 bytes; what comes is far more. The margin: twice the listed size
    // (LF counted where CR LF is sent) and 64 KiB (headers a server adds).
    const std::uint64_t limit = 2 * 100 + Pop3Session::retrMargin;
    for (std::size_t chunk : {std::size_t(7), std::size_t(65536)}) {
        SCOPED_TRACE(chunk);
        Conversation c(true);
        login(c);
        c.server("+OK\r\n1 40\r\n2 100\r\n.\r\n");
        EXPECT_EQ(c.take(), "retr 2\r\n");
        std::string reply = "+OK\r\n";
        while (reply.size() < limit + 4096) reply += std::string(70, 'x') + "\r\n";
        for (std::size_t at = 0; at < reply.size() && !c.ended; at += chunk)
            c.server(reply.substr(at, chunk));
        EXPECT_TRUE(c.ended);
        EXPECT_TRUE(c.closed);
        EXPECT_EQ(c.s.outcome(), Outcome::failed);
        EXPECT_EQ(c.s.reason(), "message 2 is longer than the 100 bytes the server listed for it "
                                "(more than " + std::to_string(limit) + " came)");
        EXPECT_TRUE(c.delivered.empty());
        EXPECT_EQ(c.take(), "");  // no DELE, no QUIT
        EXPECT_EQ(c.s.deletedCount(), 0);
    }

    // Within the margin: a size counted with LF line ends, and a header the server added.
    Conversation c(true);
    login(c);
    const std::string text = "Status: RO\r\nA: b\r\n\r\n" + std::string(40, '.') + "\r\n";
    c.server("+OK\r\n1 " + std::to_string(text.size() / 2) + "\r\n.\r\n");
    c.take();
    c.server(retrreply(text));
    ASSERT_EQ(c.delivered.size(), 1u);
    EXPECT_EQ(c.delivered[0], text);
}

TEST(Pop3SessionBounds, CapabilityAnswersHaveBoundedLinesAndSize) {
    struct Case {
        const char *what;
        std::string answer;
        const char *reason;
    } cases[] = {
        {"a long line", "+OK\r\nUSER\r\nX-" + std::string(Pop3Session::maxCapaLine, 'a') + "\r\n",
         "the server sent a capability line longer than 1024 bytes"},
        {"endless short lines", "+OK\r\n", "the server's answer to CAPA is longer than 64 KiB"},
    };
    std::string endless;
    while (endless.size() <= Pop3Session::maxCapa) endless += "X-CAPABILITY-OF-NO-USE\r\n";
    cases[1].answer += endless;
    for (bool beforelogin : {true, false}) {
        for (const auto &k : cases) {
            SCOPED_TRACE(std::string(k.what) + (beforelogin ? ", before the login" : ", after it"));
            Conversation c(false, beforelogin ? PopTls::automatic : PopTls::off);
            c.server(kGreeting);
            if (!beforelogin) {
                c.server(kLogin);
                c.server(kPassOk);
            }
            c.take();
            c.server(k.answer, {1, 9, 500});
            EXPECT_TRUE(c.ended);
            EXPECT_EQ(c.s.outcome(), Outcome::failed);
            EXPECT_EQ(c.s.reason(), k.reason);
            EXPECT_EQ(c.take(), "");
        }
    }
    // A line of 1024 bytes with its CR is still a capability.
    Conversation c(false, PopTls::automatic);
    c.server(kGreeting);
    c.server("+OK\r\n" + std::string(Pop3Session::maxCapaLine - 1, 'a') + "\r\n.\r\n");
    EXPECT_FALSE(c.ended);
    EXPECT_EQ(c.take(), "capa\r\nuser alice\r\n");
}

TEST(Pop3SessionBounds, AnEndlessUniqueIdListingEndsTheRun) {
    Conversation c;
    login(c);
    c.server(listing(kThree));
    ASSERT_EQ(c.take(), "uidl\r\n");
    c.server("+OK\r\n");
    const std::string lines = [] {
        std::string block;
        while (block.size() < (1u << 20)) block += "1 " + std::string(60000, 'u') + "\r\n";
        return block;
    }();
    for (std::size_t fed = 0; fed <= Pop3Session::maxListing && !c.ended; fed += lines.size())
        c.server(lines);
    EXPECT_TRUE(c.ended);
    EXPECT_EQ(c.s.reason(), "the server's unique-id listing is longer than 64 MiB");
    EXPECT_TRUE(c.delivered.empty());
}

// Each wait has a deadline of its own: a new one with every command, the same one while its
// answer comes in; a minute, and for what carries bytes a second more per 8 KiB of them.
TEST(Pop3SessionDeadline, EveryWaitHasItsOwn) {
    Conversation c(true, PopTls::automatic);
    const std::uint64_t base = c.s.deadlineBase;
    auto serial = [&] { return c.s.waitSerial(); };
    std::uint32_t last = serial();
    auto fresh = [&] {
        const bool changed = serial() != last;
        last = serial();
        return changed;
    };
    EXPECT_EQ(c.s.deadline(), base);  // connecting and the greeting
    c.server("+OK ready\r\n");
    EXPECT_TRUE(fresh());  // CAPA sent
    c.server("+OK\r\nUSER\r\n");
    EXPECT_FALSE(fresh());  // its answer has begun ...
    std::string more;
    for (int i = 0; i < 8; ++i) more += std::string(1022, 'X') + "\r\n";
    c.server(more);
    EXPECT_FALSE(fresh());  // ... and goes on: the same wait, stretched by what came
    EXPECT_EQ(c.s.deadline(), base + 1000 * (11 + 8192) / 8192);
    c.server(".\r\n");
    EXPECT_TRUE(fresh());
    EXPECT_EQ(c.s.deadline(), base);  // USER's answer
    c.server(kLogin);
    c.server(kPassOk);
    c.server(kCapa);
    EXPECT_TRUE(fresh());
    c.take();
    c.confirmdeliveries = false;
    c.server("+OK\r\n1 40\r\n2 819200\r\n.\r\n");
    EXPECT_TRUE(fresh());
    EXPECT_EQ(c.take(), "retr 2\r\n");
    EXPECT_EQ(c.s.deadline(), base + 100000);  // 800 KiB at 8 KiB/s
    c.server("+OK\r\nSubject: x\r\n");
    EXPECT_FALSE(fresh());
    c.server("\r\nshort after all\r\n.\r\n");
    ASSERT_EQ(c.s.phase(), Phase::delivering);
    EXPECT_TRUE(fresh());
    EXPECT_EQ(c.s.deadline(), base + 1000 * c.s.message().size() / 8192);
    c.apply(c.s.delivered(true));
    EXPECT_TRUE(fresh());
    EXPECT_EQ(c.take(), "retr 1\r\n");
    EXPECT_EQ(c.s.deadline(), base + 1000 * 40 / 8192);
    c.s.deadlineBase = 1500;
    c.apply(c.s.overdue());
    EXPECT_TRUE(c.ended);
    EXPECT_EQ(c.s.reason(), "the server did not finish its answer to RETR 1 within 2 seconds");
    EXPECT_EQ(c.s.deadline(), 0u);
    EXPECT_EQ(c.take(), "");
    EXPECT_FALSE(c.s.overdue().ended);  // once over, it stays over
}

TEST(Pop3SessionDeadline, OverdueSaysWhatTookTooLong) {
    struct Case {
        const char *what;
        std::vector<std::string> replies;
        bool deliver;  // confirm the deliveries
        std::string reason;
    } cases[] = {
        {"a trickled greeting", {"+OK sl", "o", "w"}, true,
         "the server did not finish its greeting within 60 seconds"},
        {"list", {kGreeting, kLogin, kPassOk, kCapa, "+OK\r\n1 5\r\n"}, true,
         "the server did not finish its answer to LIST within 61 seconds"},
        {"delivery", {kGreeting, kLogin, kPassOk, kCapa, "+OK\r\n1 5\r\n.\r\n", "+OK\r\nA: b\r\n.\r\n"},
         false, "delivery failed: message 1 was not delivered within 60 seconds"},
        {"dele", {kGreeting, kLogin, kPassOk, kCapa, "+OK\r\n1 5\r\n.\r\n", "+OK\r\nA: b\r\n.\r\n"},
         true, "the server did not finish its answers to DELE within 60 seconds"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        Conversation c(true);
        c.confirmdeliveries = k.deliver;
        for (const auto &r : k.replies) c.server(r);
        c.apply(c.s.overdue());
        EXPECT_TRUE(c.ended);
        EXPECT_EQ(c.s.outcome(), Outcome::failed);
        EXPECT_EQ(c.s.reason(), k.reason);
    }
    // Without DELE, nothing hangs on QUIT's answer: the session had succeeded.
    Conversation c;
    login(c);
    list(c, {"A: b\r\n"});
    c.server("+OK\r\nA: b\r\n.\r\n");
    EXPECT_EQ(c.s.phase(), Phase::quitting);
    c.apply(c.s.overdue());
    EXPECT_TRUE(c.ended);
    EXPECT_EQ(c.s.outcome(), Outcome::succeeded);
}

// ---- the login: SASL mechanisms by the session's choice and by the admin's ----------------

namespace {

// A session with TLS off, to the point where it logs in; `capa` answers the CAPA before the login.
Conversation toLogin(PopAuth auth, bool token, const std::string &greeting, const std::string &capa) {
    Conversation c(false, PopTls::off, auth);
    c.s.tokenGiven = token;
    if (token) c.s.curpass = "tok3n";
    c.server(greeting);
    if (auth == PopAuth::automatic) {
        EXPECT_EQ(c.take(), "capa\r\n");
        c.server(capa);
    }
    return c;
}

}  // namespace

TEST(Pop3SessionAuth, TheStrongestOfferedUnlessTheAdminChooses) {
    const std::string plainArg = "auth PLAIN AGFsaWNlAHNlY3JldA==\r\n";
    const std::string xoauth2 = "auth XOAUTH2 dXNlcj1hbGljZQFhdXRoPUJlYXJlciB0b2szbgEB\r\n";
    const std::string oauthbearer = "auth OAUTHBEARER bixhPWFsaWNlLAFhdXRoPUJlYXJlciB0b2szbgEB\r\n";
    const std::string all = "+OK\r\nUSER\r\nSASL PLAIN LOGIN XOAUTH2 OAUTHBEARER\r\n.\r\n";
    struct Case {
        const char *what;
        PopAuth auth;
        bool token;
        std::string capa;
        std::string sent;
    } cases[] = {
        {"PLAIN offered", PopAuth::automatic, false, "+OK\r\nSASL PLAIN LOGIN\r\n.\r\n", plainArg},
        {"mechanisms in any case", PopAuth::automatic, false, "+OK\r\nsasl login plain\r\n.\r\n", plainArg},
        {"no SASL line", PopAuth::automatic, false, "+OK\r\nUSER\r\nTOP\r\n.\r\n", "user alice\r\n"},
        {"CAPA unknown", PopAuth::automatic, false, "-ERR unknown command\r\n", "user alice\r\n"},
        {"a token, everything offered", PopAuth::automatic, true, all, oauthbearer},
        {"a token, XOAUTH2 the best", PopAuth::automatic, true, "+OK\r\nSASL PLAIN XOAUTH2\r\n.\r\n", xoauth2},
        {"no token: OAuth is no choice", PopAuth::automatic, false, "+OK\r\nSASL XOAUTH2 OAUTHBEARER\r\n.\r\n",
         "user alice\r\n"},
        {"user chosen, PLAIN offered", PopAuth::user, false, "", "user alice\r\n"},
        {"plain chosen, none offered", PopAuth::plain, false, "", plainArg},
        {"xoauth2 chosen", PopAuth::xoauth2, true, "", xoauth2},
        {"oauthbearer chosen", PopAuth::oauthbearer, true, "", oauthbearer},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        Conversation c = toLogin(k.auth, k.token, kGreeting, k.capa);
        EXPECT_EQ(c.take(), k.sent);
        EXPECT_FALSE(c.ended);
        // Logged in: the capabilities after the login, then the listing, as with USER and PASS.
        if (k.sent.starts_with("user")) continue;
        c.server("+OK Logged in.\r\n");
        EXPECT_EQ(c.take(), "capa\r\n");
    }
}

TEST(Pop3SessionAuth, ApopOnlyWhenAskedAndOnlyWithTheGreetingsTimestamp) {
    // RFC 1939's own example.
    Conversation c(false, PopTls::off, PopAuth::apop);
    c.s.curuser = "mrose";
    c.s.curpass = "tanstaaf";
    c.server("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n");
    EXPECT_EQ(c.take(), "apop mrose c4c9334bac560ecc979e58001b3e22fb\r\n");
    c.server("+OK maildrop has 1 message\r\n");
    EXPECT_EQ(c.take(), "capa\r\n");

    // A greeting without one: nothing of the password goes out in any other way.
    Conversation none(false, PopTls::off, PopAuth::apop);
    none.server(kGreeting);
    EXPECT_EQ(none.take(), "quit\r\n");
    EXPECT_NE(none.s.reason().find("popauth=apop"), std::string::npos) << none.s.reason();

    // And the session never picks it itself, whatever the greeting offers.
    Conversation automatic = toLogin(PopAuth::automatic, false, "+OK <1.2@host>\r\n", "+OK\r\n.\r\n");
    EXPECT_EQ(automatic.take(), "user alice\r\n");
}

TEST(Pop3SessionAuth, ARefusalIsReportedAndNothingWeakerIsTried) {
    for (PopAuth auth : {PopAuth::automatic, PopAuth::plain}) {
        Conversation c = toLogin(auth, false, kGreeting, "+OK\r\nSASL PLAIN\r\n.\r\n");
        c.take();
        c.server("-ERR [AUTH] Authentication failed.\r\n");
        EXPECT_TRUE(c.ended);
        EXPECT_EQ(c.take(), "");  // no USER, no PASS
        EXPECT_EQ(c.s.outcome(), Outcome::failed);
        EXPECT_EQ(c.s.reason(), "server said: -ERR [AUTH] Authentication failed. (to AUTH PLAIN)");
    }
}

TEST(Pop3SessionAuth, ALongTokenWaitsForTheServersContinuation) {
    // RFC 5034: an AUTH line stays within 255 bytes; a longer first response goes after "+ ".
    Conversation c(false, PopTls::off, PopAuth::xoauth2);
    c.s.tokenGiven = true;
    c.s.curpass = std::string(1500, 'T');
    c.server(kGreeting);
    EXPECT_EQ(c.take(), "auth XOAUTH2\r\n");
    c.server("+ \r\n", {1, 2});
    const std::string line = c.take();
    ASSERT_TRUE(line.ends_with("\r\n"));
    EXPECT_EQ(common::base64Decode(line.substr(0, line.size() - 2)),
              "user=alice\x01" "auth=Bearer " + c.s.curpass + "\x01\x01");
    c.server("+OK Logged in.\r\n");
    EXPECT_EQ(c.take(), "capa\r\n");
}

TEST(Pop3SessionAuth, TheServersErrorJsonGoesIntoTheReason) {
    struct Case {
        PopAuth auth;
        std::string challenge;
        std::string answer;  // the mechanism's way to finish the exchange
        std::string detail;
    } cases[] = {
        {PopAuth::xoauth2,
         "eyJzdGF0dXMiOiAiNDAxIiwgInNjaGVtZXMiOiAiYmVhcmVyIiwgInNjb3BlIjogImh0dHBzOi8vb3V0bG9vay5vZmZpY2Uu"
         "Y29tL1BPUC5BY2Nlc3NBc1VzZXIuQWxsIn0=",
         "\r\n", "status 401, scope https://outlook.office.com/POP.AccessAsUser.All"},
        {PopAuth::oauthbearer,
         "eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIiwic2NvcGUiOiJtYWlsIiwib3BlbmlkLWNvbmZpZ3VyYXRpb24iOiJodHRwczovL3gv"
         "LndlbGwta25vd24ifQ==",
         "AQ==\r\n", "status invalid_token, scope mail"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(popAuthName(k.auth));
        Conversation c(false, PopTls::off, k.auth);
        c.s.tokenGiven = true;
        c.s.curpass = "tok3n";
        c.server(kGreeting);
        c.take();
        c.server("+ " + k.challenge + "\r\n");
        EXPECT_EQ(c.take(), k.answer);
        EXPECT_FALSE(c.ended);
        c.server("-ERR Authentication failed.\r\n");
        EXPECT_TRUE(c.ended);
        EXPECT_EQ(c.s.reason(), "server said: -ERR Authentication failed. (to AUTH " +
                                    std::string(popAuthName(k.auth)) + ": " + k.detail + ")");
        EXPECT_EQ(c.s.reason().find("tok3n"), std::string::npos);
    }
    // PLAIN has nothing more to say: a challenge is cancelled.
    Conversation plain(false, PopTls::off, PopAuth::plain);
    plain.server(kGreeting);
    plain.take();
    plain.server("+ bW9yZT8=\r\n");
    EXPECT_EQ(plain.take(), "*\r\n");
    plain.server("-ERR cancelled\r\n");
    EXPECT_NE(plain.s.reason().find("asked for more than PLAIN"), std::string::npos) << plain.s.reason();
}

TEST(Pop3SessionAuth, AfterStlsTheMechanismsAreAskedAfresh) {
    // What the clear CAPA offered may be a man in the middle's: only the CAPA under TLS counts.
    Conversation c(false, PopTls::automatic, PopAuth::automatic);
    c.server(kGreeting);
    c.server("+OK\r\nSTLS\r\nSASL PLAIN\r\n.\r\n");
    EXPECT_EQ(c.take(), "capa\r\nstls\r\n");
    c.server("+OK Begin TLS negotiation now.\r\n");
    c.apply(c.s.tlsReady());
    EXPECT_EQ(c.take(), "capa\r\n");
    c.server("+OK\r\nUSER\r\n.\r\n");
    EXPECT_EQ(c.take(), "user alice\r\n");
    // And what TLS offers is used.
    Conversation d(false, PopTls::automatic, PopAuth::automatic);
    d.server(kGreeting);
    d.server("+OK\r\nSTLS\r\n.\r\n");
    d.server("+OK\r\n");
    d.apply(d.s.tlsReady());
    d.take();
    d.server("+OK\r\nSASL PLAIN\r\n.\r\n");
    EXPECT_EQ(d.take(), "auth PLAIN AGFsaWNlAHNlY3JldA==\r\n");
}

TEST(Pop3SessionAuth, SettingWordsAndErrorJsonAsTheServerMaySendIt) {
    EXPECT_EQ(*parsePopAuth(" XOAuth2\n"), PopAuth::xoauth2);
    EXPECT_EQ(*parsePopAuth(""), PopAuth::automatic);
    EXPECT_EQ(*parsePopAuth("apop"), PopAuth::apop);
    EXPECT_FALSE(parsePopAuth("login"));
    EXPECT_EQ(saslErrorText(R"({"status": 401, "scope":"a \"b\""})"), "status 401, scope a \"b\"");
    EXPECT_EQ(saslErrorText(R"({"schemes":"bearer","status":"invalid_token"})"), "status invalid_token");
    EXPECT_EQ(saslErrorText(R"({"x":{"status":"nested"},"status":"top"})"), "");
    EXPECT_EQ(saslErrorText("not json"), "");
    EXPECT_EQ(saslErrorText(R"({"status":"unterminated)"), "");
    EXPECT_EQ(saslErrorText("{\"status\":\"line\nbreak\x1b[2J\"}"), "status line?break?[2J");
}
