// Reading fetched messages: what the window shows and the envelope a delivery uses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "morrent/message.h"

using namespace morrent;

TEST(ReadMessage, SenderSubjectAndTextBody) {
    struct Case {
        const char *what;
        std::string raw;
        MessageSummary want;
    } cases[] = {
        {"plain",
         "From: Ann Example <ann@example.org>\r\nTo: bob@example.org\r\nSubject: Hello\r\n\r\n"
         "Hi Bob,\r\nsee you.\r\n",
         {"Ann Example <ann@example.org>", "Hello", "Hi Bob,\r\nsee you.\r\n"}},
        {"encoded words and a latin-1 quoted-printable body",
         "From: =?ISO-8859-1?Q?J=F6rg?= <joerg@example.org>\r\n"
         "Subject: =?UTF-8?B?R3LDvMOfZQ==?=\r\nMIME-Version: 1.0\r\n"
         "Content-Type: text/plain; charset=iso-8859-1\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n\r\nSch=F6n=\r\n!\r\n",
         {"J\xc3\xb6rg <joerg@example.org>",
          "Gr\xc3\xbc\xc3\x9f"
          "e",
          "Sch\xc3\xb6n!\r\n"}},
        {"multipart: the text part, not the html or the attached text",
         "From: a@example.org\r\nSubject: parts\r\nMIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"XX\"\r\n\r\npreamble\r\n"
         "--XX\r\nContent-Type: text/html\r\n\r\n<p>html</p>\r\n"
         "--XX\r\nContent-Type: text/plain\r\nContent-Disposition: attachment; "
         "filename=a.txt\r\n\r\n"
         "attached\r\n"
         "--XX\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nthe text\r\n--XX--\r\n",
         {"a@example.org", "parts", "the text"}},
        {"html only: no text body",
         "From: a@example.org\r\nSubject: html\r\nContent-Type: text/html\r\n\r\n<p>x</p>\r\n",
         {"a@example.org", "html", ""}},
        {"no header at all", "\r\njust text\r\n", {"", "", "just text\r\n"}},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        MessageSummary got = readMessage(k.raw);
        EXPECT_EQ(got.from, k.want.from);
        EXPECT_EQ(got.subject, k.want.subject);
        EXPECT_EQ(got.body, k.want.body);
    }
}

TEST(ReadMessage, HugeMessageIsReadFromItsBeginning) {
    std::string raw = "From: a@example.org\r\nSubject: big\r\n\r\n";
    raw += std::string(summaryLimit + 1000, 'x');
    MessageSummary got = readMessage(raw);
    EXPECT_EQ(got.subject, "big");
    EXPECT_LE(got.body.size(), summaryLimit);
}

TEST(HeaderValues, UnfoldsAndMatchesAnyCase) {
    const std::string header =
        "Received: from x\r\n\tby y\r\nTO: a@example.org,\r\n  b@example.org\r\nCc : "
        "c@example.org\r\n"
        "X-To: not@example.org\r\nto: d@example.org\r\n";
    EXPECT_EQ(headerValues(header, "To"),
              (std::vector<std::string>{"a@example.org,  b@example.org", "d@example.org"}));
    EXPECT_EQ(headerValues(header, "cc"), (std::vector<std::string>{"c@example.org"}));
    EXPECT_TRUE(headerValues(header, "Bcc").empty());
}

TEST(HeaderBlock, EndsBeforeTheFirstEmptyLine) {
    EXPECT_EQ(headerBlock("A: b\r\nC: d\r\n\r\nbody\r\n\r\n"), "A: b\r\nC: d\r\n");
    EXPECT_EQ(headerBlock("A: b\n\nbody"), "A: b\n");
    EXPECT_EQ(headerBlock("\r\nbody"), "");
    EXPECT_EQ(headerBlock("A: b\r\nno body"), "A: b\r\nno body");
}

TEST(Mailboxes, AddressesOutOfAddressFields) {
    EXPECT_EQ(mailboxes("Ann <ann@example.org>, \"Smith, Bob\" <bob@example.org> (work)"),
              (std::vector<std::string>{"ann@example.org", "bob@example.org"}));
    EXPECT_EQ(mailboxes("team: c@example.org, d@example.org;, e@example.org"),
              (std::vector<std::string>{"c@example.org", "d@example.org", "e@example.org"}));
    EXPECT_TRUE(mailboxes("").empty());
    EXPECT_TRUE(mailboxes("<>").empty());
}

TEST(Envelope, SenderAndRecipients) {
    struct Case {
        const char *what;
        std::string raw;
        std::string sender;
        std::vector<std::string> recipients;
    } cases[] = {
        {"Return-Path wins over From",
         "Return-Path: <bounce@example.org>\r\nFrom: Ann <ann@example.org>\r\nTo: "
         "b@example.org\r\n\r\n",
         "bounce@example.org",
         {"b@example.org"}},
        {"null Return-Path is the null sender",
         "Return-Path: <>\r\nFrom: MAILER-DAEMON@example.org\r\nTo: b@example.org\r\n\r\n",
         "",
         {"b@example.org"}},
        {"From without Return-Path; To and Cc, not Bcc, no duplicates",
         "From: Ann <ann@example.org>\r\nTo: b@example.org, c@example.org\r\nCc: c@example.org,\r\n"
         " d@example.org\r\nBcc: secret@example.org\r\n\r\nTo: body@example.org\r\n",
         "ann@example.org",
         {"b@example.org", "c@example.org", "d@example.org"}},
        {"no addresses at all", "Subject: x\r\n\r\n", "", {}},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        Envelope e = envelopeOf(k.raw);
        EXPECT_EQ(e.sender, k.sender);
        EXPECT_EQ(e.recipients, k.recipients);
    }
}
