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
