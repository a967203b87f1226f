// The value store's file text: what a hand-edited file reads as, and that whatever is written
// reads back unchanged.
#include <gtest/gtest.h>

#include <vector>

#include "common/registry.h"

using common::formatRegistryText;
using common::parseRegistryText;
using common::RegistryEntry;

namespace {

const QString kKey = QStringLiteral("HKLM\\SOFTWARE\\Tessaruno");

std::string show(const std::vector<RegistryEntry> &entries) {
    std::string s;
    for (const RegistryEntry &e : entries)
        s += "[" + e.key.toStdString() + "] <" + e.name.toStdString() + "> = <" +
             e.value.toStdString() + ">\n";
    return s;
}

bool same(const std::vector<RegistryEntry> &a, const std::vector<RegistryEntry> &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].key != b[i].key || a[i].name != b[i].name || a[i].value != b[i].value)
            return false;
    return true;
}

void expectReadsBack(const std::vector<RegistryEntry> &entries) {
    const QByteArray text = formatRegistryText(entries);
    const std::vector<RegistryEntry> back = parseRegistryText(text);
    EXPECT_TRUE(same(back, entries)) << "written:\n"
                                     << text.toStdString() << "read:\n"
                                     << show(back);
}

}  // namespace

TEST(RegistryText, HandEditedFile) {
    const QByteArray text =
        "; kept by hand\r\n"
        "orphan=before any key\r\n"
        "\r\n"
        "[HKLM\\SOFTWARE\\Tessaruno]\r\n"
        "# a comment\r\n"
        "proxyport=8080\r\n"
        "no equals sign\r\n"
        "=no name\r\n"
        "empty=\r\n"
        "url=http://host/?a=b\r\n"
        "[HKLM\\SOFTWARE\\Other]\n"
        "proxyport=1";  // no line end at the end of the file
    const std::vector<RegistryEntry> expected{{kKey, "proxyport", "8080"},
                                              {kKey, "empty", ""},
                                              {kKey, "url", "http://host/?a=b"},
                                              {"HKLM\\SOFTWARE\\Other", "proxyport", "1"}};
    const auto got = parseRegistryText(text);
    EXPECT_TRUE(same(got, expected)) << show(got);
    EXPECT_TRUE(parseRegistryText("").empty());
    EXPECT_TRUE(parseRegistryText("[]\nx=1\n[unterminated\ny=2").size() <= 2);
}

TEST(RegistryText, ValuesReadBack) {
    std::vector<RegistryEntry> entries;
    for (const QString &v :
         {QString(), QStringLiteral("a=b=c"), QStringLiteral("[x]"), QStringLiteral("C:\\dir\\"),
          QStringLiteral("\r\n"), QStringLiteral("\\n is not a line break"),
          QStringLiteral(" pad "), QStringLiteral("; # ]"), QStringLiteral("Gr\u00fc\u00dfe"),
          QStringLiteral("trailing \\")})
        entries.push_back({kKey, QStringLiteral("v%1").arg(entries.size()), v});
    // Keys that come and go keep their entries in order.
    entries.push_back({"HKLM\\SOFTWARE\\Other", "v", "other"});
    entries.push_back({kKey, "last", "back again"});
    expectReadsBack(entries);
}

TEST(RegistryText, NamesReadBack) {
    for (const QString &name :
         {QStringLiteral("with blank"), QStringLiteral(" padded "), QStringLiteral("back\\slash"),
          QStringLiteral("line\nbreak"), QStringLiteral("trailing\\"), QStringLiteral("a]")})
        expectReadsBack({{kKey, name, "v"}});
}

// Names whose line would look like a comment or a key header when written as they are.
TEST(RegistryText, NamesThatLookLikeSyntaxReadBack) {
    expectReadsBack({{kKey, ";semicolon", "v"}, {kKey, "after", "1"}});
    expectReadsBack({{kKey, "#hash", "v"}, {kKey, "after", "1"}});
    expectReadsBack({{kKey, "[bracket", "x]"}, {kKey, "after", "1"}});
}

// A write changes one line: an admin's comments, blank lines, order and values the program does
// not know stay byte for byte.
TEST(RegistryText, UpdateKeepsEveryOtherLine) {
    const QByteArray file =
        "; halvex for the office\n"
        "[HKLM\\SOFTWARE\\Tessaruno]\n"
        "# the upstream\n"
        "proxyip=proxy.example\n"
        "\n"
        "ProxyPort=3128\n"
        "somethingnew=kept\n"
        "\n"
        "# the end\n"
        "[HKLM\\SOFTWARE\\Other]\n"
        "proxyport=1\n";
    QByteArray changed = file;
    changed.replace("ProxyPort=3128", "proxyport=8080");
    EXPECT_EQ(common::updateRegistryText(file, kKey, "proxyport", "8080").toStdString(),
              changed.toStdString());
    // A new value goes behind its key's last one, not behind the comments that follow it.
    QByteArray added = file;
    added.replace("somethingnew=kept\n", "somethingnew=kept\ndebug=0\n");
    EXPECT_EQ(common::updateRegistryText(file, kKey, "debug", "0").toStdString(), added.toStdString());
    // The same value set again is the same file.
    EXPECT_EQ(common::updateRegistryText(file, kKey, "proxyip", "proxy.example"), file);
    // A value of the other key is that key's.
    QByteArray other = file;
    other.replace("proxyport=1\n", "proxyport=2\n");
    EXPECT_EQ(common::updateRegistryText(file, "HKLM\\SOFTWARE\\Other", "proxyport", "2"), other);
}

TEST(RegistryText, UpdateOfFilesWithoutTheValueOrKey) {
    EXPECT_EQ(common::updateRegistryText("", kKey, "pic", "on").toStdString(),
              "[HKLM\\SOFTWARE\\Tessaruno]\npic=on\n");
    // CR LF files get CR LF lines; a last line without its end gets one first.
    EXPECT_EQ(common::updateRegistryText("# mine\r\n[x]\r\na=1", kKey, "pic", "on").toStdString(),
              "# mine\r\n[x]\r\na=1\r\n\r\n[HKLM\\SOFTWARE\\Tessaruno]\r\npic=on\r\n");
    EXPECT_EQ(common::updateRegistryText("[HKLM\\SOFTWARE\\Tessaruno]\r\na=1", kKey, "pic", "on")
                  .toStdString(),
              "[HKLM\\SOFTWARE\\Tessaruno]\r\na=1\r\npic=on\r\n");
    // A key with no value yet takes it behind its header; a line ending in CR keeps it.
    EXPECT_EQ(common::updateRegistryText("[hklm\\software\\tessaruno]\n; none yet\n", kKey, "pic", "on")
                  .toStdString(),
              "[hklm\\software\\tessaruno]\npic=on\n; none yet\n");
    EXPECT_EQ(common::updateRegistryText("[HKLM\\SOFTWARE\\Tessaruno]\r\npic=\r\nz=1\r\n", kKey, "pic", "on")
                  .toStdString(),
              "[HKLM\\SOFTWARE\\Tessaruno]\r\npic=on\r\nz=1\r\n");
    // Values that need escapes are written as the reader takes them back.
    const QByteArray multi = common::updateRegistryText("# c\n", kKey, "v", "a\nb\\c");
    const auto back = parseRegistryText(multi);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].value, QStringLiteral("a\nb\\c"));
    EXPECT_TRUE(multi.startsWith("# c\n"));
}
