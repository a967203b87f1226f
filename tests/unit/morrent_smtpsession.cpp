// The SMTP client, as transcripts: the MTA's replies in, the commands and message text out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "morrent/smtpsession.h"

using namespace morrent;

namespace {

struct Mta {
    SmtpSession s;
    std::string sent;
    std::vector<std::string> results;  // "delivered" or the reason of a failure
    bool closed = false;
    std::size_t room = 1 << 20;

    void apply(SmtpActions a) {
        sent += a.send;
        closed |= a.close;
        if (a.result == SmtpActions::Result::delivered) results.push_back("delivered");
        if (a.result == SmtpActions::Result::failed) results.push_back(a.reason);
        // Text goes out while the connection has room; the test's connection always has.
        while (a.streaming) {
            a = s.more(room);
            sent += a.send;
        }
    }
    void reply(std::string_view bytes) { apply(s.feed(bytes)); }
    void mail(std::string_view sender, std::vector<std::string> rcpts, std::string_view head,
              std::string_view rest) {
        apply(s.start(sender, rcpts, head, rest));
    }
    std::string take() {
        std::string out;
        out.swap(sent);
        return out;
    }
};

const char *kEhloPipelining =
    "250-localhost\r\n250-PIPELINING\r\n250-SIZE 10240000\r\n250 8BITMIME\r\n";
const char *kEhloPlain = "250-localhost\r\n250 8BITMIME\r\n";

void greet(Mta &m, const char *ehlo) {
    m.reply("220 localhost ESMTP Postfix\r\n");
    ASSERT_EQ(m.take(), "EHLO localhost\r\n");
    m.reply(ehlo);
}

}  // namespace

TEST(SmtpSession, PipelinedTransaction) {
    Mta m;
    greet(m, kEhloPipelining);
    m.mail("a@x", {"b@x", "c@x"}, "To: b@x\r\n", "\r\nbody\r\n");
    EXPECT_EQ(m.take(), "MAIL FROM:<a@x>\r\nRCPT TO:<b@x>\r\nRCPT TO:<c@x>\r\n");
    m.reply("250 2.1.0 Ok\r\n250 2.1.5 Ok\r\n");
    EXPECT_EQ(m.take(), "");
    m.reply("250 2.1.5 Ok\r\n");
    EXPECT_EQ(m.take(), "DATA\r\n");
    m.reply("354 End data with <CR><LF>.<CR><LF>\r\n");
    EXPECT_EQ(m.take(), "To: b@x\r\n\r\nbody\r\n.\r\n");
    EXPECT_TRUE(m.results.empty());  // not delivered before the 250
    m.reply("250 2.0.0 Ok: queued as 1234\r\n");
    EXPECT_EQ(m.results, (std::vector<std::string>{"delivered"}));
    EXPECT_FALSE(m.s.busy());

    m.apply(m.s.quit());
    EXPECT_EQ(m.take(), "QUIT\r\n");
    m.reply("221 2.0.0 Bye\r\n");
    EXPECT_TRUE(m.closed);
}

TEST(SmtpSession, SingleRecipientSendsDataInTheSameGroup) {
    {
        Mta m;
        greet(m, kEhloPipelining);
        m.mail("a@x", {"b@x"}, "", "m\r\n");
        EXPECT_EQ(m.take(), "MAIL FROM:<a@x>\r\nRCPT TO:<b@x>\r\nDATA\r\n");
        m.reply("250 Ok\r\n250 Ok\r\n354 go\r\n");
        EXPECT_EQ(m.take(), "m\r\n.\r\n");
        m.reply("250 queued\r\n");
        EXPECT_EQ(m.results, (std::vector<std::string>{"delivered"}));
    }
    {
        SCOPED_TRACE("recipient refused: so is DATA");
        Mta m;
        greet(m, kEhloPipelining);
        m.mail("a@x", {"b@x"}, "", "m\r\n");
        m.take();
        m.reply("250 Ok\r\n550 5.1.1 <b@x>: unknown\r\n554 5.5.1 no valid recipients\r\n");
        EXPECT_EQ(m.take(), "RSET\r\n");
        EXPECT_EQ(m.results,
                  (std::vector<std::string>{"the mail service said: 550 5.1.1 <b@x>: unknown"}));
        EXPECT_FALSE(m.closed);
    }
    {
        SCOPED_TRACE("an MTA that wants text for a refused recipient gets none");
        Mta m;
        greet(m, kEhloPipelining);
        m.mail("a@x", {"b@x"}, "", "m\r\n");
        m.take();
        m.reply("250 Ok\r\n550 unknown\r\n354 go\r\n");
        EXPECT_EQ(m.take(), "");
        EXPECT_TRUE(m.closed);
        EXPECT_EQ(m.results, (std::vector<std::string>{"the mail service said: 550 unknown"}));
    }
}

TEST(SmtpSession, OneCommandAtATimeWithoutPipelining) {
    Mta m;
    greet(m, kEhloPlain);
    m.mail("", {"b@x", "c@x"}, "", "A: b\r\n");
    EXPECT_EQ(m.take(), "MAIL FROM:<>\r\n");
    m.reply("250 Ok\r\n");
    EXPECT_EQ(m.take(), "RCPT TO:<b@x>\r\n");
    m.reply("250 Ok\r\n");
    EXPECT_EQ(m.take(), "RCPT TO:<c@x>\r\n");
    m.reply("250 Ok\r\n");
    EXPECT_EQ(m.take(), "DATA\r\n");
    m.reply("354 go\r\n");
    EXPECT_EQ(m.take(), "A: b\r\n.\r\n");
    m.reply("250 Ok\r\n");
    EXPECT_EQ(m.results, (std::vector<std::string>{"delivered"}));
}

TEST(SmtpSession, RefusalsFailTheMessageNotTheSession) {
    struct Case {
        const char *what;
        const char *ehlo;
        std::vector<std::string> replies;
        std::string sent;  // after the EHLO
        std::string reason;
    } cases[] = {
        {"recipient refused, pipelined",
         kEhloPipelining,
         {"250 Ok\r\n250 Ok\r\n550 5.1.1 <c@x>: Recipient address rejected\r\n"},
         "MAIL FROM:<a@x>\r\nRCPT TO:<b@x>\r\nRCPT TO:<c@x>\r\nRSET\r\n",
         "the mail service said: 550 5.1.1 <c@x>: Recipient address rejected"},
        {"recipient refused, one at a time",
         kEhloPlain,
         {"250 Ok\r\n", "550 no such user\r\n"},
         "MAIL FROM:<a@x>\r\nRCPT TO:<b@x>\r\nRSET\r\n",
         "the mail service said: 550 no such user"},
        {"sender refused, pipelined",
         kEhloPipelining,
         {"553 bad sender\r\n503 need MAIL\r\n503 need MAIL\r\n"},
         "MAIL FROM:<a@x>\r\nRCPT TO:<b@x>\r\nRCPT TO:<c@x>\r\nRSET\r\n",
         "the mail service said: 553 bad sender"},
        {"DATA refused",
         kEhloPlain,
         {"250 Ok\r\n", "250 Ok\r\n", "250 Ok\r\n", "554 no valid recipients\r\n"},
         "MAIL FROM:<a@x>\r\nRCPT TO:<b@x>\r\nRCPT TO:<c@x>\r\nDATA\r\nRSET\r\n",
         "the mail service said: 554 no valid recipients"},
        {"text refused after the dot",
         kEhloPlain,
         {"250 Ok\r\n", "250 Ok\r\n", "250 Ok\r\n", "354 go\r\n", "552 5.3.4 too big\r\n"},
         "MAIL FROM:<a@x>\r\nRCPT TO:<b@x>\r\nRCPT TO:<c@x>\r\nDATA\r\nm\r\n.\r\n",
         "the mail service said: 552 5.3.4 too big"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        Mta m;
        greet(m, k.ehlo);
        m.mail("a@x", {"b@x", "c@x"}, "", "m\r\n");
        for (const auto &r : k.replies) m.reply(r);
        EXPECT_EQ(m.take(), k.sent);
        EXPECT_EQ(m.results, (std::vector<std::string>{k.reason}));
        EXPECT_FALSE(m.closed);
        // The session goes on: the next message is mailed.
        m.reply("250 2.0.0 Ok\r\n");  // (the RSET, where one was sent)
        m.results.clear();
        m.take();
        m.mail("a@x", {"b@x"}, "", "n\r\n");
        EXPECT_EQ(m.take().substr(0, 16), "MAIL FROM:<a@x>\r");
        EXPECT_FALSE(m.s.dead());
    }
}

TEST(SmtpSession, SessionFailures) {
    {
        SCOPED_TRACE("greeting refused; a message waiting for it fails");
        Mta m;
        m.mail("a@x", {"b@x"}, "", "m\r\n");
        EXPECT_EQ(m.take(), "");
        m.reply("554 5.7.1 go away\r\n");
        EXPECT_TRUE(m.closed);
        EXPECT_EQ(m.results,
                  (std::vector<std::string>{"the mail service said: 554 5.7.1 go away"}));
        EXPECT_TRUE(m.s.dead());
        m.results.clear();
        m.mail("a@x", {"b@x"}, "", "m\r\n");
        EXPECT_EQ(m.results.size(), 1u);
    }
    {
        SCOPED_TRACE("connection lost while the text is out");
        Mta m;
        greet(m, kEhloPlain);
        m.mail("a@x", {"b@x"}, "", "m\r\n");
        m.reply("250 Ok\r\n");
        m.reply("250 Ok\r\n");
        m.reply("354 go\r\n");
        m.apply(m.s.closed("Connection reset by peer"));
        EXPECT_EQ(m.results,
                  (std::vector<std::string>{
                      "lost the connection to the mail service: Connection reset by peer"}));
    }
    {
        SCOPED_TRACE("not an SMTP reply");
        Mta m;
        m.reply("HTTP/1.1 400 Bad Request\r\n");
        EXPECT_TRUE(m.closed);
        EXPECT_TRUE(m.s.dead());
    }
}

TEST(SmtpSession, HeloWhenEhloIsNotKnown) {
    Mta m;
    m.reply("220 old mta\r\n");
    m.take();
    m.reply("502 5.5.2 Error: command not recognized\r\n");
    EXPECT_EQ(m.take(), "HELO localhost\r\n");
    m.reply("250 old mta\r\n");
    m.mail("a@x", {"b@x"}, "", "m\r\n");
    EXPECT_EQ(m.take(), "MAIL FROM:<a@x>\r\n");
}

TEST(SmtpSession, RepliesCutAnywhere) {
    // Each turn of the MTA cut at every offset.
    const std::vector<std::string> turns = {"220 hi\r\n", kEhloPipelining, "250 Ok\r\n250 Ok\r\n",
                                            "354 go\r\n", "250 queued\r\n"};
    for (std::size_t t = 0; t < turns.size(); ++t) {
        for (std::size_t cut = 1; cut < turns[t].size(); ++cut) {
            Mta m;
            m.mail("a@x", {"b@x"}, "", "m\r\n");
            for (std::size_t k = 0; k < turns.size(); ++k) {
                if (k != t) {
                    m.reply(turns[k]);
                    continue;
                }
                m.reply(turns[k].substr(0, cut));
                m.reply(turns[k].substr(cut));
            }
            SCOPED_TRACE("turn " + std::to_string(t) + " cut at " + std::to_string(cut));
            EXPECT_EQ(m.take(),
                      "EHLO localhost\r\nMAIL FROM:<a@x>\r\nRCPT TO:<b@x>\r\nDATA\r\nm\r\n.\r\n");
            EXPECT_EQ(m.results, (std::vector<std::string>{"delivered"}));
        }
    }
}

TEST(SmtpSession, DotStuffingWhateverThePieceSize) {
    struct Case {
        const char *what;
        std::string head, rest, want;
    } cases[] = {
        {"dots at line starts, in the head and the rest", ".a\r\n", "b\r\n.\r\n..\r\nc.d\r\n.",
         "..a\r\nb\r\n..\r\n...\r\nc.d\r\n..\r\n.\r\n"},
        {"a line start across the head and the rest", "A: b\r\n", ".x\r\n", "A: b\r\n..x\r\n.\r\n"},
        {"after a bare LF as well", "", "x\n.y\r\n", "x\n..y\r\n.\r\n"},
        {"text without a final line end", "", "no end", "no end\r\n.\r\n"},
        {"empty", "", "", ".\r\n"},
    };
    for (const auto &k : cases) {
        for (std::size_t room = 1; room <= k.want.size() + 1; ++room) {
            SCOPED_TRACE(std::string(k.what) + ", pieces of " + std::to_string(room));
            Mta m;
            m.room = room;
            greet(m, kEhloPlain);
            m.mail("a@x", {"b@x"}, k.head, k.rest);
            m.reply("250 Ok\r\n");
            m.reply("250 Ok\r\n");
            m.take();
            m.reply("354 go\r\n");
            EXPECT_EQ(m.take(), k.want);
        }
    }
}

TEST(SmtpSession, UnusableEnvelopesAreRefusedBeforeAnythingIsSent) {
    for (auto rcpts : {std::vector<std::string>{}, std::vector<std::string>{"b@x>\r\nDATA"}}) {
        Mta m;
        greet(m, kEhloPlain);
        m.mail("a@x", rcpts, "", "m\r\n");
        EXPECT_EQ(m.take(), "");
        ASSERT_EQ(m.results.size(), 1u);
        EXPECT_FALSE(m.s.busy());
    }
}
