// The line layer and the POP3 reply reader as transcripts: the same stream cut at every byte
// gives the same lines and pieces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/lines.h"
#include "common/pop3reply.h"

using namespace common;

namespace {

// Each line as "text|end" (with CR and LF written as \r \n), "TOO LONG" for a line too long.
std::vector<std::string> linesOf(LineAssembler &a, const std::vector<std::string> &chunks) {
    auto shown = [](std::string_view v) {
        std::string out;
        for (char c : v) out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
        return out;
    };
    std::vector<std::string> out;
    for (const std::string &chunk : chunks) {
        std::string_view rest = chunk;
        for (;;) {
            const LineAssembler::Line l = a.next(rest);
            if (l.kind == LineAssembler::Line::none) break;
            if (l.kind == LineAssembler::Line::tooLong) out.push_back("TOO LONG");
            else out.push_back(shown(l.text) + "|" + shown(l.end));
        }
    }
    return out;
}

// The stream in one piece, and cut in two at every place, and byte by byte.
std::vector<std::vector<std::string>> cuts(const std::string &stream) {
    std::vector<std::vector<std::string>> all{{stream}};
    for (std::size_t i = 1; i < stream.size(); ++i) all.push_back({stream.substr(0, i), stream.substr(i)});
    std::vector<std::string> bytes;
    for (char c : stream) bytes.emplace_back(1, c);
    all.push_back(bytes);
    return all;
}

}  // namespace

TEST(LineAssembler, OneRuleForLineEndsHoweverTheStreamIsCut) {
    const std::string stream = "USER a\r\nPASS b\nx\ry\r\n\r\nlast";
    const std::vector<std::string> want = {"USER a|\\r\\n", "PASS b|\\n", "x\\ry|\\r\\n", "|\\r\\n"};
    for (const auto &chunks : cuts(stream)) {
        LineAssembler a(100);
        EXPECT_EQ(linesOf(a, chunks), want);
        EXPECT_EQ(a.held(), "last");
    }
    // LF CR, for the mail clients that end their lines so. A CR that comes only with the next
    // chunk cannot join the end of a line already given: it is dropped there.
    const std::string lfcr = "USER a\n\rPASS b\n\rSTAT\r\n";
    for (const auto &chunks : cuts(lfcr)) {
        LineAssembler a(100, true);
        const std::vector<std::string> got = linesOf(a, chunks);
        ASSERT_EQ(got.size(), 3u);
        const bool cutAfterLf = chunks.size() == 2 && (chunks[0].size() == 7 || chunks[0].size() == 15);
        if (chunks.size() == 1) {
            EXPECT_EQ(got, (std::vector<std::string>{"USER a|\\n\\r", "PASS b|\\n\\r", "STAT|\\r\\n"}));
        }
        for (std::size_t i = 0; i < 2; ++i)
            EXPECT_TRUE(got[i].ends_with("|\\n\\r") || (got[i].ends_with("|\\n") && (cutAfterLf || chunks.size() > 2)))
                << got[i];
        EXPECT_EQ(got[2], "STAT|\\r\\n");
    }
}

TEST(LineAssembler, ALineTooLongIsTooLongWholeOrCut) {
    const std::string stream = std::string(11, 'x') + "\r\nok\r\n" + std::string(10, 'y') + "\r\n";
    for (const auto &chunks : cuts(stream)) {
        LineAssembler a(10);
        // Told once, the rest of it skipped; the lines after it come as they are.
        EXPECT_EQ(linesOf(a, chunks), (std::vector<std::string>{"TOO LONG", "ok|\\r\\n", "yyyyyyyyyy|\\r\\n"}));
    }
}

namespace {

// The pieces of a stream of replies as lines: "+ text", "- text", "? text" (neither), "L text",
// "." (the end), "C text" (a continuation), "TOO LONG", "N line" (noise), "T text" (a message's
// text, its runs joined).
std::vector<std::string> piecesOf(Pop3Reply &r, const std::vector<std::string> &chunks) {
    std::vector<std::string> out;
    for (const std::string &chunk : chunks) {
        std::string_view rest = chunk;
        for (;;) {
            const Pop3Reply::Piece p = r.next(rest);
            using K = Pop3Reply::Piece;
            if (p.kind == K::none) break;
            switch (p.kind) {
                case K::status:
                    out.push_back(std::string(p.ok ? "+ " : p.unknown ? "? " : "- ") + std::string(p.text) +
                                  (p.multiLine ? " ..." : ""));
                    break;
                case K::line:
                    out.push_back("L " + std::string(p.text));
                    break;
                case K::ended:
                    out.push_back(".");
                    break;
                case K::continuation:
                    out.push_back("C " + std::string(p.text));
                    break;
                case K::tooLong:
                    out.push_back("TOO LONG");
                    break;
                case K::noise:
                    out.push_back("N " + std::string(p.whole));
                    break;
                case K::run:
                    // Runs are joined: how the chunks fall decides where one ends.
                    if (!out.empty() && out.back().starts_with("T "))
                        out.back() += std::string(p.text);
                    else
                        out.push_back("T " + std::string(p.text));
                    break;
                case K::none:
                    break;
            }
        }
    }
    return out;
}

}  // namespace

TEST(Pop3Reply, TheTableSaysWhichAnswersGoOn) {
    const std::string stream =
        "+OK ready\r\n"                              // greeting
        "+ok\r\nSTLS\r\nSASL PLAIN\r\n.\r\n"        // capa
        "-ERR no\r\n"                                // retr 9: refused, no body
        "+OK 2 messages\r\n1 120\r\n2 30\r\n.\r\n"  // list
        "+OK 1 120\r\n"                              // list 1
        "+OK\r\n..dot\r\n\r\nend\r\n.\r\n"            // retr 1: stuffed, an empty line
        "+ \r\n+ dG9rZW4=\r\n-ERR bad\r\n"           // auth with two continuations
        "HELLO\r\n";                                 // noop: no status at all
    const std::vector<std::string> want = {
        "+ ready", "+  ...", "L STLS", "L SASL PLAIN", ".", "- no", "+ 2 messages ...", "L 1 120",
        "L 2 30", ".", "+ 1 120", "+  ...", "L .dot", "L ", "L end", ".", "C ", "C dG9rZW4=",
        "- bad", "? HELLO"};
    for (const auto &chunks : cuts(stream)) {
        Pop3Reply r;
        r.expect(Pop3Command::greeting);
        r.expect(Pop3Command::capa);
        r.expect(Pop3Command::retr, true);
        r.expect(Pop3Command::list);
        r.expect(Pop3Command::list, true);
        r.expect(Pop3Command::retr, true);
        r.expect(Pop3Command::auth, true);
        r.expect(Pop3Command::noop);
        ASSERT_EQ(piecesOf(r, chunks), want);
        EXPECT_EQ(r.expected(), 0u);
    }
    bool arg = false;
    EXPECT_EQ(pop3CommandOf("retr 3\r\n", &arg), Pop3Command::retr);
    EXPECT_TRUE(arg);
    EXPECT_EQ(pop3CommandOf("LIST\r\n", &arg), Pop3Command::list);
    EXPECT_FALSE(arg);
    EXPECT_EQ(pop3CommandOf("XTND x"), Pop3Command::other);
}

TEST(Pop3Reply, BoundsEveryLineAndCountsTheBody) {
    Pop3Reply r(16);
    r.expect(Pop3Command::capa);
    std::string_view s = "+OK\r\nSHORT\r\n";
    EXPECT_EQ(piecesOf(r, {std::string(s)}), (std::vector<std::string>{"+  ...", "L SHORT"}));
    EXPECT_EQ(r.bodyBytes(), 7u);
    EXPECT_TRUE(r.inBody());
    EXPECT_EQ(piecesOf(r, {std::string(40, 'x')}), std::vector<std::string>{"TOO LONG"});
}


TEST(Pop3Reply, MessageTextComesInRunsUnstuffedWithoutALineBound) {
    // A client that keeps the message: the text as runs, lines of any length, a line begun only
    // after CR LF (so ".y" after a bare LF keeps its dot), "." CR without LF no end.
    const std::string longLine(100, 'z');
    const std::string stream = "+OK\r\n" + longLine + "\r\n..a\r\nx\n.y\r\n.\rX\r\n\r\n.\r\n"
                               "+OK\r\n.\r\n"
                               "+OK 1 40\r\n";
    for (const auto &chunks : cuts(stream)) {
        Pop3Reply r(16);
        r.setTextRuns(true);
        r.expect(Pop3Command::retr, true);
        r.expect(Pop3Command::top, true);
        r.expect(Pop3Command::list, true);
        ASSERT_EQ(piecesOf(r, chunks),
                  (std::vector<std::string>{"+  ...", "T " + longLine + "\r\n.a\r\nx\n.y\r\n\rX\r\n\r\n", ".",
                                            "+  ...", ".", "+ 1 40"}));
        // The status line after the text has the reader's bound again.
        EXPECT_FALSE(r.inBody());
    }
}

TEST(Pop3Reply, NoiseBeforeAReplyLeavesItToCome) {
    const std::string stream = " +OK not at the start\r\nhello\r\n+OK ready\r\n* noise\r\n-ERR no\r\n";
    for (const auto &chunks : cuts(stream)) {
        Pop3Reply r;
        r.setNoise(true);
        r.expect(Pop3Command::greeting);
        r.expect(Pop3Command::user, true);
        EXPECT_EQ(piecesOf(r, chunks),
                  (std::vector<std::string>{"N  +OK not at the start", "N hello", "+ ready", "N * noise", "- no"}));
        EXPECT_EQ(r.expected(), 0u);
    }
}

TEST(Pop3Reply, AnAnswerMayBoundItsLinesAndResetForgetsEverything) {
    Pop3Reply r(64);
    r.expect(Pop3Command::capa, false, 8);
    r.expect(Pop3Command::noop);
    // The status line has the reader's bound, the answer's lines their own, the next reply the
    // reader's again.
    EXPECT_EQ(piecesOf(r, {"+OK capability list follows\r\nUSER\r\n.\r\n+OK " + std::string(40, 'n') + "\r\n"}),
              (std::vector<std::string>{"+ capability list follows ...", "L USER", ".", "+ " + std::string(40, 'n')}));
    r.expect(Pop3Command::capa, false, 8);
    EXPECT_EQ(piecesOf(r, {"+OK\r\nSASL PLAIN XOAUTH2\r\n"}), (std::vector<std::string>{"+  ...", "TOO LONG"}));
    // The whole status line, for a caller that shows what the server said.
    r.reset();
    EXPECT_EQ(r.expected(), 0u);
    EXPECT_FALSE(r.inBody());
    r.expect(Pop3Command::stls);
    std::string_view s = "-ERR [IN-USE] try later\r\n";
    const Pop3Reply::Piece p = r.next(s);
    EXPECT_EQ(p.whole, "-ERR [IN-USE] try later");
    EXPECT_EQ(p.text, "[IN-USE] try later");
}
