// The proxy window and its main window, driven as a user would: what the window shows after loading
// the stored settings, what the switches and "start" store, how a start that cannot listen is
// shown, and the main window's geometry and its "Start HTTP Proxy" and "Exit" menus.
#include "controls.h"
#include "common/controls.h"
#include "common/registry.h"
#include "common/shell.h"
#include "halvex/mdiform1.h"
#include "halvex/preproxy.h"

#include <QScreen>
#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMdiSubWindow>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QSignalSpy>

#include "common/tls.h"
#include <QtTest>
#include <cmath>

#include <memory>
#include <optional>

namespace {

const QString kKey = QStringLiteral("HKLM\\SOFTWARE\\Tessaruno\\");

void store(const QString &name, const QString &value) {
    QVERIFY(common::regwrite_sz(kKey + name, value));
}
QString stored(const QString &name) {
    return common::regread(kKey + name);
}

QString setting(const char *key) {
    return common::GetSetting(QStringLiteral("halvex"), QStringLiteral("Settings"),
                              QString::fromLatin1(key), QStringLiteral("(missing)"));
}
void saveSetting(const char *key, const QString &value) {
    common::SaveSetting(QStringLiteral("halvex"), QStringLiteral("Settings"),
                        QString::fromLatin1(key), value);
}

// A port nothing listens on right now.
quint16 freePort() {
    QTcpServer s;
    if (!s.listen(QHostAddress::LocalHost, 0)) return 0;
    return s.serverPort();
}

bool shown(const QWidget *w) {
    return w->isVisibleTo(w->parentWidget());
}

// The proxy window's controls this test looks at, found by their names once the window is open.
struct ProxyControls {
    explicit ProxyControls(const halvex::PreProxy *p) : window(p) {}
    const halvex::PreProxy *window;
    QLineEdit *internport = control<QLineEdit>(window, "internport");
    QLineEdit *externproxy = control<QLineEdit>(window, "externproxy");
    QLineEdit *externport = control<QLineEdit>(window, "externport");
    QPushButton *Command1 = control<QPushButton>(window, "Command1");
    QPushButton *Command2 = control<QPushButton>(window, "Command2");
    QPushButton *Command3 = control<QPushButton>(window, "Command3");
    QLabel *sockets = control<QLabel>(window, "sockets");
    QLabel *peak = control<QLabel>(window, "peak");
    QCheckBox *cookie = control<QCheckBox>(window, "cookie");
    QCheckBox *blockme = control<QCheckBox>(window, "blockme");
    QCheckBox *sendempty = control<QCheckBox>(window, "sendempty");
    QCheckBox *rpictures = control<QCheckBox>(window, "rpictures");
    QLineEdit *Text2 = control<QLineEdit>(window, "Text2");
    QPushButton *addurl = control<QPushButton>(window, "addurl");
    QListWidget *block = control<QListWidget>(window, "block");
    halvex::UrlList *urls = control<halvex::UrlList>(window, "urls");
    common::TraceBox *Text1 = control<common::TraceBox>(window, "Text1");
    common::TraceBox *interntrace = control<common::TraceBox>(window, "interntrace");
    common::TraceBox *externtrace = control<common::TraceBox>(window, "externtrace");
    QLabel *hilfe = control<QLabel>(window, "hilfe");
};

}  // namespace

class ProxyWindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> config_;
    std::unique_ptr<halvex::MDIForm1> main_;
    std::optional<ProxyControls> ui_;  // of the proxy window open() opened last

    halvex::PreProxy *open() {
        ui_.reset();
        main_ = std::make_unique<halvex::MDIForm1>();
        main_->setBindAddress(QStringLiteral("127.0.0.1"));
        main_->show();
        main_->starthttproxyClick();
        halvex::PreProxy *p = main_->proxyWindow();
        if (p) ui_.emplace(p);
        return p;
    }

    // The main window's menu entry of that name.
    QAction *menu(const char *name) { return control<QAction>(main_.get(), name); }

private slots:
    void init() {
        // Every test starts on a machine where nothing has been stored yet.
        config_ = std::make_unique<QTemporaryDir>();
        QVERIFY(config_->isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config_->path()));
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config_->path());
    }
    void cleanup() {
        ui_.reset();
        main_.reset();
        config_.reset();
    }

    // ---- the layout at the desktop's font ----

    // Every caption fits its control whole, in both faces, and the layout keeps the design's
    // shape (one factor for every position).
    void everyCaptionFitsAtTheDesktopFont() {
        for (const char *debug : {"1", "0"}) {
            QVERIFY(common::regwrite_sz(QStringLiteral("HKLM\\SOFTWARE\\Tessaruno\\debug"),
                                        QString::fromLatin1(debug)));
            halvex::PreProxy *p = open();
            QVERIFY(p);
            for (const QWidget *w : p->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
                if (w->isVisibleTo(p)) QVERIFY2(common::captionFits(w), qPrintable(w->objectName()));
            const double f = double(ui_->urls->width()) / common::twipsToPixels(9255);
            QVERIFY2(std::abs(ui_->cookie->x() - common::twipsToPixels(5040) * f) <= 1.5,
                     qPrintable(QStringLiteral("%1 %2").arg(ui_->cookie->x()).arg(f)));
            QVERIFY(std::abs(ui_->urls->y() - common::twipsToPixels(3240) * f) <= 1.5);
            main_.reset();
        }
    }

    // ---- load: the face and the restored settings ----

    void firstRunOpensInDebugModeWithEmptyBoxes() {
        halvex::PreProxy *p = open();
        QVERIFY(p);
        QVERIFY(p->debugMode());
        QVERIFY(shown(ui_->interntrace));
        QVERIFY(shown(ui_->externtrace));
        QVERIFY(shown(ui_->Text1));
        QVERIFY(shown(ui_->Command3));
        QVERIFY(!shown(ui_->hilfe));
        // The design texts give way to what is stored, and nothing is.
        QCOMPARE(ui_->internport->text(), QString());
        QCOMPARE(ui_->externport->text(), QString());
        QCOMPARE(ui_->externproxy->text(), QString());
        QVERIFY(ui_->Command1->isEnabled());
        QVERIFY(!ui_->Command2->isEnabled());
        QCOMPARE(ui_->sockets->text(), QStringLiteral("0"));
        QCOMPARE(ui_->peak->text(), QStringLiteral("0"));
        QVERIFY(!ui_->cookie->isChecked());
        QVERIFY(!ui_->blockme->isChecked());
        QVERIFY(!ui_->sendempty->isChecked());
        QVERIFY(!ui_->rpictures->isChecked());
        // The proxy window fills the main window's client area.
        auto *sub = qobject_cast<QMdiSubWindow *>(p->parentWidget());
        QVERIFY(sub);
        QVERIFY(sub->isMaximized());
    }

    void debugValueChoosesTheFace_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("debug");
        QTest::newRow("empty") << "" << true;
        QTest::newRow("one") << "1" << true;
        QTest::newRow("zero") << "0" << false;
        QTest::newRow("seven") << "7" << false;
        QTest::newRow("negative") << "-3" << false;
        QTest::newRow("largest 16-bit") << "32767" << false;
        QTest::newRow("beyond 16 bits") << "70000" << true;
        QTest::newRow("not a number") << "yes" << true;
    }
    void debugValueChoosesTheFace() {
        QFETCH(QString, value);
        QFETCH(bool, debug);
        store(QStringLiteral("debug"), value);
        halvex::PreProxy *p = open();
        QCOMPARE(p->debugMode(), debug);
        QCOMPARE(shown(ui_->interntrace), debug);
        QCOMPARE(shown(ui_->externtrace), debug);
        QCOMPARE(shown(ui_->Text1), debug);
        QCOMPARE(shown(ui_->Command3), debug);
        QCOMPARE(shown(ui_->hilfe), !debug);
    }

    void normalModeShowsTheHelpText() {
        store(QStringLiteral("debug"), QStringLiteral("0"));
        QVERIFY(open());
        const QStringList lines = ui_->hilfe->text().split(QStringLiteral("\r\n"));
        // Seven lines, each ended by CR LF.
        QCOMPARE(lines.size(), 8);
        QVERIFY(!lines[0].isEmpty());
        QCOMPARE(lines[1], QString());
        QCOMPARE(lines[2],
                 QStringLiteral("This Proxy can be used for ANY Protocol - not ONLY http proxy."));
        QCOMPARE(lines[3], QStringLiteral("Please enter local listen PORT and your remote Proxy IP "
                                          "and PORT and press start."));
        QVERIFY(!lines[4].isEmpty());
        QCOMPARE(lines[5], QString());
        QVERIFY(!lines[6].isEmpty());
        QCOMPARE(lines[7], QString());
    }

    void storedAddressesFillTheBoxes() {
        store(QStringLiteral("plistenport"), QStringLiteral("18080"));
        store(QStringLiteral("proxyip"), QStringLiteral("proxy.example.net"));
        store(QStringLiteral("proxyport"), QStringLiteral("3128"));
        QVERIFY(open());
        QCOMPARE(ui_->internport->text(), QStringLiteral("18080"));
        QCOMPARE(ui_->externproxy->text(), QStringLiteral("proxy.example.net"));
        QCOMPARE(ui_->externport->text(), QStringLiteral("3128"));
    }

    // Any non-empty stored text ticks its switch, and the tick stores the switch again.
    void storedSwitchesAreTickedAndStoredAgain_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("afterwards");
        // clang-format off
        QTest::newRow("cookie marker") << "cookie" << "mymarker" << "cookie" << "mymarker";
        QTest::newRow("headerfilter") << "headerfilter" << "1" << "blockme" << "on";
        QTest::newRow("empty") << "empty" << "on" << "sendempty" << "on";
        QTest::newRow("pic, any text") << "pic" << "yes please" << "rpictures" << "on";
        // clang-format on
    }
    void storedSwitchesAreTickedAndStoredAgain() {
        QFETCH(QString, name);
        QFETCH(QString, value);
        QFETCH(QString, box);
        QFETCH(QString, afterwards);
        store(name, value);
        halvex::PreProxy *p = open();
        for (QCheckBox *c : {ui_->cookie, ui_->blockme, ui_->sendempty, ui_->rpictures})
            QCOMPARE(c->isChecked(), c->objectName() == box);
        QCOMPARE(stored(name), afterwards);
        if (name == QLatin1String("cookie")) QCOMPARE(p->cookieMarker(), value.toStdString());
    }

    // ---- switches ----

    void tickingASwitchStoresItsState_data() {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("name");
        // clang-format off
        QTest::newRow("Block (disconnect)") << "blockme" << "headerfilter";
        QTest::newRow("Block (send empty)") << "sendempty" << "empty";
        QTest::newRow("Remove Pictures") << "rpictures" << "pic";
        // clang-format on
    }
    void tickingASwitchStoresItsState() {
        QFETCH(QString, box);
        QFETCH(QString, name);
        halvex::PreProxy *p = open();
        auto *c = p->findChild<QCheckBox *>(box);
        QVERIFY(c);
        c->click();
        QVERIFY(c->isChecked());
        QCOMPARE(stored(name), QStringLiteral("on"));
        c->click();
        QVERIFY(!c->isChecked());
        QCOMPARE(stored(name), QString());
        // Only its own value changes.
        for (const char *other : {"cookie", "headerfilter", "empty", "pic"})
            if (name != QLatin1String(other))
                QCOMPARE(stored(QString::fromLatin1(other)), QString());
    }

    // "Inspect HTTPS" is there only with an authority to inspect with, and stores its state.
    void inspectSwitchShowsOnlyWithAnAuthority() {
        halvex::PreProxy *p = open();
        auto *inspect = p->findChild<QCheckBox *>(QStringLiteral("inspecthttps"));
        auto *learned = p->findChild<QLabel *>(QStringLiteral("learnedhosts"));
        QVERIFY(inspect && learned);
        QVERIFY(!shown(inspect) && !shown(learned));
        const auto made = common::makeTlsAuthority(config_->path().toStdString(), "test", "test");
        QVERIFY(made);
        halvex::Options o;
        o.caCert = made->cert;
        o.caKey = made->key;
        o.inspectHttps = true;
        p->setOptions(o);
        QVERIFY(p->hasAuthority());
        QVERIFY(shown(inspect) && shown(learned));
        QVERIFY(inspect->isChecked());
        QCOMPARE(learned->text(), QStringLiteral("0 learned"));
        inspect->click();
        QCOMPARE(stored(QStringLiteral("inspecthttps")), QString());
        inspect->click();
        QCOMPARE(stored(QStringLiteral("inspecthttps")), QStringLiteral("on"));
        // An authority that cannot be loaded: no switch, and the status bar says why.
        QSignalSpy status(p, &halvex::PreProxy::statusText);
        o.caKey = made->cert;
        p->setOptions(o);
        QVERIFY(!p->hasAuthority());
        QVERIFY(!shown(inspect));
        QVERIFY(!status.isEmpty());
        QVERIFY(status.last().first().toString().startsWith(QStringLiteral("HTTPS is not inspected")));
    }

    void cookieSwitchStoresTheMarker() {
        halvex::PreProxy *p = open();
        ui_->cookie->click();
        QCOMPARE(stored(QStringLiteral("cookie")), QStringLiteral("tessaruno"));
        QCOMPARE(p->cookieMarker(), std::string("tessaruno"));
        ui_->cookie->click();
        QCOMPARE(stored(QStringLiteral("cookie")), QString());
        QCOMPARE(p->cookieMarker(), std::string("tessaruno"));
        ui_->cookie->click();
        QCOMPARE(stored(QStringLiteral("cookie")), QStringLiteral("tessaruno"));
    }

    void cookieSwitchKeepsAStoredMarker() {
        store(QStringLiteral("cookie"), QStringLiteral("house-cookie"));
        halvex::PreProxy *p = open();
        QVERIFY(ui_->cookie->isChecked());
        ui_->cookie->click();
        QCOMPARE(stored(QStringLiteral("cookie")), QString());
        ui_->cookie->click();
        QCOMPARE(stored(QStringLiteral("cookie")), QStringLiteral("house-cookie"));
        // The next start restores it as it was left.
        main_.reset();
        p = open();
        QVERIFY(ui_->cookie->isChecked());
        QCOMPARE(p->cookieMarker(), std::string("house-cookie"));
    }

    // ---- start ----

    void startListensAndStoresTheBoxes() {
        halvex::PreProxy *p = open();
        const quint16 port = freePort();
        ui_->internport->setText(QString::number(port));
        ui_->externproxy->setText(QStringLiteral("127.0.0.1"));
        ui_->externport->setText(QStringLiteral("3128"));
        ui_->Command1->click();
        QVERIFY(!ui_->Command1->isEnabled());
        QVERIFY(ui_->Command2->isEnabled());
        QVERIFY(p->running());
        QCOMPARE(main_->statusText(), QStringLiteral("Status"));
        QCOMPARE(stored(QStringLiteral("plistenport")), QString::number(port));
        QCOMPARE(stored(QStringLiteral("proxyip")), QStringLiteral("127.0.0.1"));
        QCOMPARE(stored(QStringLiteral("proxyport")), QStringLiteral("3128"));

        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(ui_->sockets->text(), QStringLiteral("1"));
        QVERIFY(p->intern().exists(1));

        // The next load shows what start stored.
        main_.reset();
        p = open();
        QCOMPARE(ui_->internport->text(), QString::number(port));
        QCOMPARE(ui_->externproxy->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(ui_->externport->text(), QStringLiteral("3128"));
        QVERIFY(ui_->Command1->isEnabled());
    }

    // A start that cannot listen still stores what was typed, stays stopped and says why.
    void startThatCannotListenStaysStopped_data() {
        QTest::addColumn<QString>("port");  // "busy": a port this test holds open
        QTest::newRow("port in use") << "busy";
        QTest::newRow("not a number") << "eighty";
        QTest::newRow("out of range") << "70000";
        QTest::newRow("negative") << "-1";
        QTest::newRow("empty") << "";
    }
    void startThatCannotListenStaysStopped() {
        QFETCH(QString, port);
        QTcpServer holder;
        if (port == QLatin1String("busy")) {
            QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
            port = QString::number(holder.serverPort());
        }
        halvex::PreProxy *p = open();
        ui_->internport->setText(port);
        ui_->externproxy->setText(QStringLiteral("upstream.invalid"));
        ui_->externport->setText(QStringLiteral("not a port"));
        ui_->Command1->click();

        QVERIFY(ui_->Command1->isEnabled());
        QVERIFY(!ui_->Command2->isEnabled());
        QVERIFY(!p->running());
        QVERIFY(main_->statusText() != QStringLiteral("Status"));
        if (!port.isEmpty())
            QVERIFY2(main_->statusText().contains(port), qPrintable(main_->statusText()));
        QCOMPARE(stored(QStringLiteral("plistenport")), port);
        QCOMPARE(stored(QStringLiteral("proxyip")), QStringLiteral("upstream.invalid"));
        QCOMPARE(stored(QStringLiteral("proxyport")), QStringLiteral("not a port"));

        // Typing a usable port and pressing start again works, and clears the message.
        const quint16 good = freePort();
        ui_->internport->setText(QString::number(good));
        ui_->Command1->click();
        QVERIFY(p->running());
        QCOMPARE(main_->statusText(), QStringLiteral("Status"));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, good);
        QTRY_COMPARE(ui_->sockets->text(), QStringLiteral("1"));
    }

    // ---- main window ----

    void firstStartGeometry() {
        open();
        // The design's size at least, grown to show the proxy window's controls at the desktop's
        // font as far as the screen allows, and on the screen.
        QVERIFY(main_->width() >= common::twipsToPixels(6500) - 1);
        QVERIFY(main_->height() >= common::twipsToPixels(6500) - 1);
        const QRect room = main_->screen()->availableGeometry();
        QVERIFY(room.contains(main_->frameGeometry()));
        const QRect used = main_->proxyWindow()->childrenRect();
        QVERIFY(main_->width() >= used.right() || main_->frameGeometry().width() >= room.width() - 1);
        QCOMPARE(menu("progexit")->text(), QStringLiteral("Exit"));
        QCOMPARE(menu("starthttproxy")->text(), QStringLiteral("Start HTTP Proxy"));
    }

    void geometryIsSavedOnCloseAndRestored() {
        open();
        main_->move(150, 120);
        main_->resize(600, 500);
        main_->close();
        const double perPixel = common::pixelsToTwips(1);
        QVERIFY(qAbs(setting("MainLeft").toDouble() - common::pixelsToTwips(150)) <= perPixel);
        QVERIFY(qAbs(setting("MainTop").toDouble() - common::pixelsToTwips(120)) <= perPixel);
        QVERIFY(qAbs(setting("MainWidth").toDouble() - common::pixelsToTwips(600)) <= perPixel);
        QVERIFY(qAbs(setting("MainHeight").toDouble() - common::pixelsToTwips(500)) <= perPixel);

        open();
        QVERIFY(qAbs(main_->x() - 150) <= 1);
        QVERIFY(qAbs(main_->y() - 120) <= 1);
        QVERIFY(qAbs(main_->width() - 600) <= 1);
        QVERIFY(qAbs(main_->height() - 500) <= 1);
    }

    void minimisedCloseSavesNothing() {
        saveSetting("MainLeft", QStringLiteral("2000"));
        saveSetting("MainTop", QStringLiteral("2100"));
        saveSetting("MainWidth", QStringLiteral("7000"));
        saveSetting("MainHeight", QStringLiteral("7100"));
        open();
        main_->move(10, 10);
        main_->showMinimized();
        main_->close();
        QCOMPARE(setting("MainLeft"), QStringLiteral("2000"));
        QCOMPARE(setting("MainTop"), QStringLiteral("2100"));
        QCOMPARE(setting("MainWidth"), QStringLiteral("7000"));
        QCOMPARE(setting("MainHeight"), QStringLiteral("7100"));
    }

    void unreadableGeometryFallsBackToTheDefault_data() {
        QTest::addColumn<QString>("left");
        QTest::addColumn<QString>("width");
        QTest::addColumn<int>("expectLeft");
        QTest::addColumn<int>("expectWidth");
        // clang-format off
        QTest::newRow("left not a number") << "left" << "9000" << 1000 << 9000;
        QTest::newRow("width not a number") << "3000" << "wide" << 3000 << 6500;
        // clang-format on
    }
    void unreadableGeometryFallsBackToTheDefault() {
        QFETCH(QString, left);
        QFETCH(QString, width);
        QFETCH(int, expectLeft);
        QFETCH(int, expectWidth);
        saveSetting("MainLeft", left);
        saveSetting("MainWidth", width);
        open();
        QVERIFY(qAbs(main_->x() - common::twipsToPixels(expectLeft)) <= 1);
        QVERIFY(qAbs(main_->width() - common::twipsToPixels(expectWidth)) <= 1);
        QVERIFY(qAbs(main_->y() - common::twipsToPixels(1000)) <= 1);
    }

    void reopeningTheProxyWindowLoadsItAfresh() {
        store(QStringLiteral("debug"), QStringLiteral("0"));
        halvex::PreProxy *p = open();
        const quint16 port = freePort();
        ui_->internport->setText(QString::number(port));
        ui_->Command1->click();
        QVERIFY(p->running());
        ui_->rpictures->click();
        ui_->Text2->setText(QStringLiteral("ads.example.com"));
        ui_->addurl->click();
        QCOMPARE(ui_->block->count(), 1);

        // The menu while the window is open only brings it back, maximised.
        auto *sub = qobject_cast<QMdiSubWindow *>(p->parentWidget());
        sub->showNormal();
        menu("starthttproxy")->trigger();
        QCOMPARE(main_->proxyWindow(), p);
        QVERIFY(sub->isMaximized());
        QCOMPARE(ui_->block->count(), 1);

        // The user closes it: its connections go with it.
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(ui_->sockets->text(), QStringLiteral("1"));
        sub->close();
        QTRY_VERIFY(!main_->proxyWindow());
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QTcpSocket late;
        late.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(late.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(late.error(), QAbstractSocket::ConnectionRefusedError);

        menu("starthttproxy")->trigger();
        p = main_->proxyWindow();
        QVERIFY(p);
        ui_.emplace(p);
        // The block list is kept; the URL log starts afresh.
        QCOMPARE(ui_->block->count(), 1);
        QCOMPARE(ui_->urls->count(), 0);
        QCOMPARE(ui_->Text2->text(), QString());
        QVERIFY(ui_->rpictures->isChecked());
        QCOMPARE(ui_->internport->text(), QString::number(port));
        QVERIFY(ui_->Command1->isEnabled());
        QCOMPARE(ui_->sockets->text(), QStringLiteral("0"));
        sub = qobject_cast<QMdiSubWindow *>(p->parentWidget());
        QVERIFY(sub);
        QVERIFY(sub->isMaximized());
    }

    void exitClosesTheConnectionsAndSavesTheGeometry() {
        QVERIFY(open());
        const quint16 port = freePort();
        ui_->internport->setText(QString::number(port));
        ui_->Command1->click();
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(ui_->sockets->text(), QStringLiteral("1"));
        main_->move(90, 60);
        menu("progexit")->trigger();
        QVERIFY(!main_->isVisible());
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QVERIFY(qAbs(setting("MainLeft").toDouble() - common::pixelsToTwips(90)) <=
                common::pixelsToTwips(1));
    }
};

QTEST_MAIN(ProxyWindowTest)
#include "halvex_proxywindow.moc"
