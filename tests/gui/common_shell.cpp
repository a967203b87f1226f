// The main window shell: geometry kept per user between runs, and the child window it hosts.
#include <QApplication>
#include <QCloseEvent>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <functional>

#include "common/controls.h"
#include "common/shell.h"

using common::GetSetting;
using common::MainShell;
using common::SaveSetting;

namespace {

const QString kSection = QStringLiteral("Settings");

// Left, top, width and height in twips.
struct Twips {
    double left, top, width, height;
};

Twips twipsOf(const QWidget &w) {
    return {common::pixelsToTwips(w.x()), common::pixelsToTwips(w.y()),
            common::pixelsToTwips(w.width()), common::pixelsToTwips(w.height())};
}

// Equal to within one pixel.
bool near(double twips, double expected) {
    return std::abs(twips - expected) <= common::pixelsToTwips(1) + 0.01;
}

bool near(const Twips &a, const Twips &b) {
    return near(a.left, b.left) && near(a.top, b.top) && near(a.width, b.width) &&
           near(a.height, b.height);
}

double stored(const QString &app, const char *key) {
    bool ok = false;
    double v = GetSetting(app, kSection, QString::fromLatin1(key), {}).toDouble(&ok);
    return ok ? v : -1e9;
}

QByteArray describe(const Twips &t) {
    return QStringLiteral("%1 %2 %3 %4").arg(t.left).arg(t.top).arg(t.width).arg(t.height).toUtf8();
}

// A child window that reports its own close.
class Child : public QWidget {
public:
    std::function<void()> onClose;

protected:
    void closeEvent(QCloseEvent *e) override {
        if (onClose) onClose();
        e->accept();
    }
};

}  // namespace

class ShellTest : public QObject {
    Q_OBJECT
    int apps_ = 0;
    // A program title nothing has been stored for yet.
    QString freshApp() { return QStringLiteral("shelltest%1").arg(++apps_); }

    // One run of the program: restore, show, and let the caller act on the window.
    void run(const QString &app, const std::function<void(MainShell &)> &act) {
        MainShell w(app, QString(), 6500);
        w.restoreGeometryFromSettings();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        act(w);
        w.close();
    }

private slots:
    void firstStartDefaults_data();
    void firstStartDefaults();
    void geometryRoundTrip();
    void maximisedSavesItsGeometry();
    void minimisedCloseSavesNothing();
    void unusableStoredValues_data();
    void unusableStoredValues();
    void childReopens();
    void childrenCloseBeforeSaving();
};

void ShellTest::firstStartDefaults_data() {
    QTest::addColumn<int>("defaultWidth");
    QTest::newRow("6500") << 6500;
    QTest::newRow("8500") << 8500;
}

void ShellTest::firstStartDefaults() {
    QFETCH(int, defaultWidth);
    MainShell w(freshApp(), QString(), defaultWidth);
    w.restoreGeometryFromSettings();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const Twips expected{1000, 1000, double(defaultWidth), 6500};
    QVERIFY2(near(twipsOf(w), expected), describe(twipsOf(w)));
}

void ShellTest::geometryRoundTrip() {
    const QString app = freshApp();
    run(app, [](MainShell &w) {
        w.move(120, 90);
        w.resize(500, 400);
    });
    QVERIFY(near(stored(app, "MainLeft"), common::pixelsToTwips(120)));
    QVERIFY(near(stored(app, "MainWidth"), common::pixelsToTwips(500)));
    run(app, [](MainShell &w) {
        QVERIFY2(std::abs(w.x() - 120) <= 1 && std::abs(w.y() - 90) <= 1 &&
                     std::abs(w.width() - 500) <= 1 && std::abs(w.height() - 400) <= 1,
                 describe(twipsOf(w)));
    });
}

void ShellTest::maximisedSavesItsGeometry() {
    const QString app = freshApp();
    Twips maximised{};
    run(app, [&](MainShell &w) {
        w.showMaximized();
        QTRY_VERIFY(w.isMaximized());
        maximised = twipsOf(w);
    });
    // The next start opens a normal window of the maximised size and position.
    run(app, [&](MainShell &w) {
        QVERIFY(!w.isMaximized());
        QVERIFY2(near(twipsOf(w), maximised), describe(twipsOf(w)) + " / " + describe(maximised));
    });
}

void ShellTest::minimisedCloseSavesNothing() {
    const QString app = freshApp();
    for (const char *key : {"MainLeft", "MainTop", "MainWidth", "MainHeight"})
        SaveSetting(app, kSection, QString::fromLatin1(key), QStringLiteral("3000"));
    run(app, [](MainShell &w) {
        w.move(10, 10);
        w.showMinimized();
        QTRY_VERIFY(w.isMinimized());
    });
    for (const char *key : {"MainLeft", "MainTop", "MainWidth", "MainHeight"})
        QCOMPARE(GetSetting(app, kSection, QString::fromLatin1(key), {}), QStringLiteral("3000"));
}

void ShellTest::unusableStoredValues_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("text");
    QTest::newRow("word") << QStringLiteral("MainLeft") << QStringLiteral("abc");
    QTest::newRow("empty") << QStringLiteral("MainTop") << QStringLiteral("");
    QTest::newRow("number with a unit") << QStringLiteral("MainWidth") << QStringLiteral("4000px");
    // Numbers in form only: no window can be placed or sized by them.
    QTest::newRow("not a number") << QStringLiteral("MainHeight") << QStringLiteral("nan");
    QTest::newRow("infinite") << QStringLiteral("MainLeft") << QStringLiteral("inf");
    QTest::newRow("beyond any screen") << QStringLiteral("MainWidth") << QStringLiteral("1e30");
    QTest::newRow("negative height") << QStringLiteral("MainHeight") << QStringLiteral("-6500");
}

// A stored value that cannot place the window falls back to its default; the others still apply.
void ShellTest::unusableStoredValues() {
    QFETCH(QString, key);
    QFETCH(QString, text);
    const QString app = freshApp();
    Twips expected{2000, 1500, 7000, 5000};
    SaveSetting(app, kSection, "MainLeft", "2000");
    SaveSetting(app, kSection, "MainTop", "1500");
    SaveSetting(app, kSection, "MainWidth", "7000");
    SaveSetting(app, kSection, "MainHeight", "5000");
    SaveSetting(app, kSection, key, text);
    if (key == QLatin1String("MainLeft")) expected.left = 1000;
    if (key == QLatin1String("MainTop")) expected.top = 1000;
    if (key == QLatin1String("MainWidth")) expected.width = 6500;
    if (key == QLatin1String("MainHeight")) expected.height = 6500;
    MainShell w(app, QString(), 6500);
    w.restoreGeometryFromSettings();
    QVERIFY2(near(twipsOf(w), expected), describe(twipsOf(w)));
}

void ShellTest::childReopens() {
    MainShell w(freshApp(), QString(), 6500);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QPointer<QWidget> child;
    int loads = 0;
    auto make = [&]() -> QWidget * {
        ++loads;
        return new QWidget;
    };
    QMdiSubWindow *sub = w.showChild(child, make);
    QVERIFY(sub && child);
    QCOMPARE(loads, 1);
    QVERIFY(sub->isMaximized());
    QCOMPARE(w.mdiArea()->activeSubWindow(), sub);

    // While it is open the action only brings it back, maximised.
    sub->showNormal();
    QCOMPARE(w.showChild(child, make), sub);
    QCOMPARE(loads, 1);
    QVERIFY(sub->isMaximized());

    // Closed by the user, it is made afresh.
    QVERIFY(sub->close());
    QTRY_VERIFY(child.isNull());
    QMdiSubWindow *again = w.showChild(child, make);
    QCOMPARE(loads, 2);
    QVERIFY(again && again->isMaximized() && again->isVisible());
    QCOMPARE(w.mdiArea()->subWindowList().size(), 1);
    QCOMPARE(w.mdiArea()->activeSubWindow(), again);
}

// The child's own close (which ends its connections) runs before the frame saves its geometry.
void ShellTest::childrenCloseBeforeSaving() {
    const QString app = freshApp();
    SaveSetting(app, kSection, "MainLeft", "2000");
    QString seenByChild;
    bool childClosed = false;
    {
        MainShell w(app, QString(), 6500);
        w.restoreGeometryFromSettings();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QPointer<QWidget> child;
        w.showChild(child, [&]() -> QWidget * {
            auto *c = new Child;
            c->onClose = [&] {
                childClosed = true;
                seenByChild = GetSetting(app, kSection, "MainLeft", {});
            };
            return c;
        });
        w.move(300, 200);
        QVERIFY(w.close());
    }
    QVERIFY(childClosed);
    QCOMPARE(seenByChild, QStringLiteral("2000"));
    QVERIFY(near(stored(app, "MainLeft"), common::pixelsToTwips(300)));
}

int main(int argc, char **argv) {
    // The per-user store goes to a folder of this run's own, set before Qt first looks for it.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
    QApplication app(argc, argv);
    ShellTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "common_shell.moc"
