// Editing the block list in the proxy window with the mouse and the buttons: "add", selecting an
// entry, "Remove", "AutoFormat", and a double-click on the URL log. What the list shows and what
// the entry field holds afterwards is what the user sees.
#include "controls.h"
#include "common/registry.h"
#include "halvex/mdiform1.h"
#include "halvex/preproxy.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <optional>

namespace {

QStringList entries(const QListWidget *list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i) out << list->item(i)->text();
    return out;
}

void clickRow(QListWidget *list, int row) {
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(row)).center());
}

void doubleClickRow(QAbstractItemView *list, int row) {
    const QPoint at = list->visualRect(list->model()->index(row, 0)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
}

// The block list's controls in the proxy window, found by their names.
struct BlockControls {
    explicit BlockControls(const halvex::PreProxy *p) : window(p) {}
    const halvex::PreProxy *window;
    QLineEdit *Text2 = control<QLineEdit>(window, "Text2");
    QPushButton *addurl = control<QPushButton>(window, "addurl");
    QListWidget *block = control<QListWidget>(window, "block");
    QPushButton *removeurl = control<QPushButton>(window, "removeurl");
    QPushButton *AutoFormat = control<QPushButton>(window, "AutoFormat");
    halvex::UrlList *urls = control<halvex::UrlList>(window, "urls");
};

}  // namespace

class BlockListTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> config_;
    std::unique_ptr<halvex::MDIForm1> main_;
    halvex::PreProxy *p_ = nullptr;
    std::optional<BlockControls> ui_;

    void add(const QString &typed) {
        ui_->Text2->setText(typed);
        ui_->addurl->click();
    }

private slots:
    void init() {
        config_ = std::make_unique<QTemporaryDir>();
        QVERIFY(config_->isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config_->path()));
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config_->path());
        main_ = std::make_unique<halvex::MDIForm1>();
        main_->show();
        main_->starthttproxyClick();
        p_ = main_->proxyWindow();
        QVERIFY(p_);
        ui_.emplace(p_);
        QCOMPARE(ui_->block->count(), 0);
    }
    void cleanup() {
        ui_.reset();
        main_.reset();
        p_ = nullptr;
        config_.reset();
    }

    void addTakesTheTypedEntry_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("list");
        QTest::addColumn<QString>("field");
        QTest::newRow("prefix and slash go")
            << "http://www.example.test/" << QStringList{"www.example.test"} << "";
        QTest::newRow("case kept, capital prefix stays")
            << "HTTP://Www.Example.Test/" << QStringList{"HTTP://Www.Example.Test"} << "";
        QTest::newRow("leading space keeps the prefix")
            << " http://example.test/" << QStringList{"http://example.test"} << "";
        // A blank entry would match every request and every page.
        QTest::newRow("empty refused") << "" << QStringList{} << "";
        QTest::newRow("spaces refused") << "   " << QStringList{} << "   ";
    }
    void addTakesTheTypedEntry() {
        QFETCH(QString, typed);
        QFETCH(QStringList, list);
        QFETCH(QString, field);
        add(typed);
        QCOMPARE(entries(ui_->block), list);
        QCOMPARE(ui_->Text2->text(), field);
        QCOMPARE(p_->blockList().size(), size_t(list.size()));
    }

    void addRefusesAnEntryAlreadyThereInOtherCase() {
        add(QStringLiteral("Example.test"));
        add(QStringLiteral("http://EXAMPLE.TEST/"));
        QCOMPARE(entries(ui_->block), QStringList{"Example.test"});
        QCOMPARE(ui_->Text2->text(), QStringLiteral("http://EXAMPLE.TEST/"));
        // New entries go to the end.
        add(QStringLiteral("zzz.test"));
        add(QStringLiteral("aaa.test"));
        QCOMPARE(entries(ui_->block), (QStringList{"Example.test", "zzz.test", "aaa.test"}));
        QCOMPARE(ui_->Text2->text(), QString());
    }

    void selectingAnEntryCopiesItIntoTheField() {
        add(QStringLiteral("one.test"));
        add(QStringLiteral("two.test/path"));
        ui_->Text2->setText(QStringLiteral("half typed"));
        clickRow(ui_->block, 1);
        QCOMPARE(ui_->Text2->text(), QStringLiteral("two.test/path"));
        clickRow(ui_->block, 0);
        QCOMPARE(ui_->Text2->text(), QStringLiteral("one.test"));
        QCOMPARE(ui_->block->count(), 2);
    }

    void removePutsTheEntryIntoTheField() {
        add(QStringLiteral("a.test"));
        add(QStringLiteral("B.test"));
        add(QStringLiteral("c.test"));
        clickRow(ui_->block, 1);
        ui_->removeurl->click();
        QCOMPARE(entries(ui_->block), (QStringList{"a.test", "c.test"}));
        QCOMPARE(ui_->Text2->text(), QStringLiteral("B.test"));
        QCOMPARE(p_->blockList().size(), size_t(2));

        // Nothing is selected now: "Remove" changes nothing.
        ui_->Text2->setText(QStringLiteral("b.test/x"));
        ui_->removeurl->click();
        QCOMPARE(entries(ui_->block), (QStringList{"a.test", "c.test"}));
        QCOMPARE(ui_->Text2->text(), QStringLiteral("b.test/x"));

        // The corrected text goes back in with "add".
        ui_->addurl->click();
        QCOMPARE(entries(ui_->block), (QStringList{"a.test", "c.test", "b.test/x"}));
    }

    void autoFormatCutsTheSelectedEntryToItsHost_data() {
        QTest::addColumn<QStringList>("typed");  // each added with "add"
        QTest::addColumn<int>("row");            // -1: nothing selected
        QTest::addColumn<QStringList>("list");
        QTest::newRow("capital prefix and path")
            << QStringList{"HTTP://Ads.Example.test/a/b/"} << 0 << QStringList{"Ads.Example.test"};
        QTest::newRow("kept in place") << QStringList{"x.test", " http://y.test/path/", "z.test"}
                                       << 1 << QStringList{"x.test", "y.test", "z.test"};
        QTest::newRow("host already listed")
            << QStringList{"ads.test", "HTTP://ADS.TEST/banner", "z.test"} << 1
            << QStringList{"ads.test", "z.test"};
        QTest::newRow("nothing selected")
            << QStringList{"HTTP://a.test/x"} << -1 << QStringList{"HTTP://a.test/x"};
    }
    void autoFormatCutsTheSelectedEntryToItsHost() {
        QFETCH(QStringList, typed);
        QFETCH(int, row);
        QFETCH(QStringList, list);
        for (const QString &t : typed) add(t);
        QCOMPARE(ui_->block->count(), typed.size());
        if (row >= 0) clickRow(ui_->block, row);
        ui_->AutoFormat->click();
        QCOMPARE(entries(ui_->block), list);
        QCOMPARE(p_->blockList().size(), size_t(list.size()));
    }

    void doubleClickOnTheUrlLogBlocksThatAddress_data() {
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QString>("logged");
        QTest::addColumn<QStringList>("list");
        QTest::newRow("lower-cased, path kept")
            << QStringList{} << "127.0.0.1: HTTP://Www.Example.Test/Path/Page.html"
            << QStringList{"www.example.test/path/page.html"};
        QTest::newRow("trailing slash goes")
            << QStringList{"a.test"} << "127.0.0.1: http://www.example.test/"
            << QStringList{"a.test", "www.example.test"};
        QTest::newRow("already listed in other case")
            << QStringList{"WWW.example.test"} << "127.0.0.1: http://www.example.test/"
            << QStringList{"WWW.example.test"};
    }
    void doubleClickOnTheUrlLogBlocksThatAddress() {
        QFETCH(QStringList, listed);
        QFETCH(QString, logged);
        QFETCH(QStringList, list);
        for (const QString &t : listed) add(t);
        // The relay appends to the URL log; here the entries are put there directly.
        ui_->urls->append(QStringLiteral("127.0.0.1: http://other.test/"));
        ui_->urls->append(logged);
        ui_->urls->flush();
        doubleClickRow(ui_->urls, 1);
        QCOMPARE(entries(ui_->block), list);
        QCOMPARE(p_->blockList().size(), size_t(list.size()));
        // The log itself is not edited.
        QCOMPARE(ui_->urls->count(), 2);
        QCOMPARE(ui_->urls->text(1), logged);
    }
};

QTEST_MAIN(BlockListTest)
#include "halvex_blocklist.moc"
