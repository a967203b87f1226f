// morrent's window under the offscreen platform: its controls, start-up in window mode and from a
// command line, "Download Now" and "disconnect now", and the settings each of them stores. The POP3
// server is a scripted one in this process; messages go to a pickup folder under a temp folder.
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <memory>

#include "common/controls.h"
#include "controls.h"
#include "common/registry.h"
#include "morrent/morrentwindow.h"

using morrent::MorrentWindow;
using morrent::StartMode;

namespace {

const QString key = QStringLiteral("HKLM\\SOFTWARE\\Tessaruno\\");

QString stored(const char *name) {
    return common::regread(key + QLatin1String(name));
}
void store(const char *name, const QString &value) {
    QVERIFY(common::regwrite_sz(key + QLatin1String(name), value));
}
bool nothingStored() {
    return !QFile::exists(common::registryFilePath());
}

int closedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// A POP3 server that plays one mailbox: it answers USER, PASS, CAPA (with PIPELINING), LIST, UIDL,
// RETR, DELE and QUIT, and keeps every command it was sent. A silent one accepts the connection and never says anything.
class ScriptedPop3 : public QObject {
public:
    explicit ScriptedPop3(QList<QByteArray> mail, bool silent = false)
        : mail_(std::move(mail)), silent_(silent) {
        server_.listen(QHostAddress::LocalHost, 0);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *c = server_.nextPendingConnection()) {
                connect(c, &QTcpSocket::readyRead, this, [this, c] { onData(c); });
                if (!silent_) c->write("+OK ready\r\n");
            }
        });
    }
    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(server_.serverPort()); }
    QList<QByteArray> commands;

private:
    void onData(QTcpSocket *c) {
        buf_ += c->readAll();
        for (int nl; (nl = buf_.indexOf("\r\n")) >= 0;) {
            const QByteArray line = buf_.left(nl);
            buf_.remove(0, nl + 2);
            commands << line;
            const QByteArray word = line.split(' ').value(0);
            const int n = line.mid(5).toInt();
            if (word == "capa") {
                c->write("+OK\r\nUIDL\r\nPIPELINING\r\n.\r\n");
            } else if (word == "list" || word == "uidl") {
                QByteArray listing = "+OK\r\n";
                for (int i = 0; i < mail_.size(); ++i)
                    listing += QByteArray::number(i + 1) + ' ' +
                               (word == "list" ? QByteArray::number(mail_[i].size())
                                               : "id" + QByteArray::number(i + 1)) +
                               "\r\n";
                c->write(listing + ".\r\n");
            } else if (word == "retr" && n >= 1 && n <= mail_.size()) {
                c->write("+OK\r\n" + mail_[n - 1] + ".\r\n");
            } else if (word == "quit") {
                c->write("+OK bye\r\n");
                c->disconnectFromHost();
            } else {
                c->write("+OK\r\n");
            }
        }
    }

    QTcpServer server_;
    QList<QByteArray> mail_;
    bool silent_;
    QByteArray buf_;
};

QByteArray mailNumbered(int n) {
    return "From: Ann Example <ann@example.org>\r\nTo: alice@example.org\r\nSubject: note " +
           QByteArray::number(n) + "\r\n\r\nbody of note " + QByteArray::number(n) + "\r\n";
}

}  // namespace

class MorrentWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void controlsAtTheirDesignPlaces();
    void firstRunEmptiesTheBoxes();
    void windowModeRestoresTheStoredSettings();
    void wrongCountEndsWithoutTouchingAnything_data();
    void wrongCountEndsWithoutTouchingAnything();
    void blanksMakePieces();
    void deleteFlag_data();
    void deleteFlag();
    void deleteFlagThatIsNoNumberIsRefused_data();
    void deleteFlagThatIsNoNumberIsRefused();
    void check1StoresEveryChange();
    void downloadNowStoresTheFourValuesEvenWhenConnectFails();
    void downloadShowsEachMessageAndForwards();
    void deletionOnlyWhenChecked();
    void progressWhileDownloadingAndTheResultAfter();
    void disconnectNowEndsTheSession();
    void commandLineReportsTheOutcome_data();
    void commandLineReportsTheOutcome();
    void badMaildropFailsTheDownload();
    void storedPasswordCommandGivesThePassword();
    void disconnectNowStopsAPasswordCommand();
    void historyShowsTheRunsNewestFirst();

private:
    QTemporaryDir tmp_;
    QString drop_;
    QStringList pickedUp() const;
};

void MorrentWindowTest::initTestCase() {
    QVERIFY(tmp_.isValid());
    qputenv("XDG_CONFIG_HOME", tmp_.filePath(QStringLiteral("config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", tmp_.filePath(QStringLiteral("data")).toLocal8Bit());
    qputenv("XDG_STATE_HOME", tmp_.filePath(QStringLiteral("state")).toLocal8Bit());
}

void MorrentWindowTest::init() {
    QFile::remove(common::registryFilePath());
    drop_ = tmp_.filePath(QStringLiteral("drop"));
    QDir(drop_).removeRecursively();
    // A later server may get the port of an earlier one: its mailbox must look new.
    QDir(tmp_.filePath(QStringLiteral("state"))).removeRecursively();
}

QStringList MorrentWindowTest::pickedUp() const {
    QStringList texts;
    QDir dir(drop_ + QStringLiteral("/new"));
    for (const QString &name : dir.entryList(QDir::Files, QDir::Name)) {
        QFile f(dir.filePath(name));
        if (f.open(QIODevice::ReadOnly)) texts << QString::fromLatin1(f.readAll());
    }
    return texts;
}

void MorrentWindowTest::controlsAtTheirDesignPlaces() {
    MorrentWindow w;
    QCOMPARE(w.objectName(), QStringLiteral("morrent"));
    QCOMPARE(w.windowTitle(), QStringLiteral("MORRENT"));
    struct Control {
        QWidget *widget;
        const char *name;
        QString text;
        int left, top, width, height;
    };
    auto text = [](const char *t) { return QString::fromLatin1(t); };
    const Control table[] = {
        {control<QPushButton>(&w, "Command1"), "Command1", text("Download Now"), 5520, 480, 2295, 375},
        {control<QLineEdit>(&w, "Text1"), "Text1", text(""), 120, 1680, 3735, 375},
        {control<QLineEdit>(&w, "server"), "server", text("Server"), 1320, 120, 2535, 285},
        {control<QLineEdit>(&w, "userlogin"), "userlogin", text("Username"), 1320, 480, 2535, 285},
        {control<QLineEdit>(&w, "loginpassword"), "loginpassword", text("Password"), 1320, 840, 2535, 285},
        {control<QLineEdit>(&w, "sendto"), "sendto", text("Send email To"), 1320, 1200, 2535, 285},
        {control<QCheckBox>(&w, "Check1"), "Check1", text("Delete Emails from Server after download"), 3960, 120, 3735,
         255},
        {control<QLineEdit>(&w, "subject"), "subject", text(""), 120, 2640, 8895, 375},
        {control<QLineEdit>(&w, "from"), "from", text(""), 120, 2160, 8895, 375},
        {control<QPlainTextEdit>(&w, "body"), "body", text(""), 120, 3120, 8895, 3255},
        {control<QPushButton>(&w, "Command2"), "Command2", text("disconnect now"), 5520, 960, 2295, 375},
        {control<QLabel>(&w, "Label1"), "Label1", text("POP3 Server"), 120, 120, 1095, 255},
        {control<QLabel>(&w, "Label2"), "Label2", text("UserName"), 120, 480, 1095, 255},
        {control<QLabel>(&w, "Label3"), "Label3", text("Password"), 120, 840, 1095, 255},
        {control<QLabel>(&w, "Label4"), "Label4", text("send To"), 120, 1200, 855, 255},
        {control<QLabel>(&w, "readme"), "readme", text(""), 120, 6480, 8895, 2415},
        {control<QProgressBar>(&w, "progress"), "progress", text(""), 3960, 1680, 5055, 375},
    };
    // The design's positions, all scaled by the one factor that lets every caption fit the
    // desktop's font.
    const double f = double(control<QPlainTextEdit>(&w, "body")->width()) / common::twipsToPixels(8895);
    QVERIFY(f >= 1.0);
    auto near = [f](int twips, int px) { return std::abs(common::twipsToPixels(twips) * f - px) <= 1.5; };
    QWidget *previous = nullptr;
    for (const Control &c : table) {
        QCOMPARE(c.widget->objectName(), QString::fromLatin1(c.name));
        const QRect g = c.widget->geometry();
        QVERIFY2(near(c.left, g.x()) && near(c.top, g.y()) && near(c.width, g.width()) &&
                     near(c.height, g.height()),
                 c.name);
        QVERIFY2(common::captionFits(c.widget), c.name);
        QString shown;
        if (auto *e = qobject_cast<QLineEdit *>(c.widget)) shown = e->text();
        if (auto *b = qobject_cast<QAbstractButton *>(c.widget)) shown = b->text();
        if (auto *l = qobject_cast<QLabel *>(c.widget)) shown = l->text();
        if (auto *p = qobject_cast<QPlainTextEdit *>(c.widget)) shown = p->toPlainText();
        QCOMPARE(shown, c.text);
        // Tab order: each control that takes the focus follows the one before it.
        if (c.widget->focusPolicy() & Qt::TabFocus) {
            if (previous) {
                QWidget *next = previous->nextInFocusChain();
                while (next && !(next->focusPolicy() & Qt::TabFocus))
                    next = next->nextInFocusChain();
                QCOMPARE(next, c.widget);
            }
            previous = c.widget;
        }
    }
    QCOMPARE(control<QLineEdit>(&w, "loginpassword")->echoMode(), QLineEdit::Password);
    QVERIFY(!control<QCheckBox>(&w, "Check1")->isChecked());
    QVERIFY(!control<QTimer>(&w, "Timer1")->isActive());
    QCOMPARE(control<QTimer>(&w, "Timer1")->interval(), 30000);
    QCOMPARE(w.Winsock1().objectName(), QStringLiteral("Winsock1"));
    QCOMPARE(w.Winsock1()[0].State(), int(common::Socket::sckClosed));
}

void MorrentWindowTest::firstRunEmptiesTheBoxes() {
    MorrentWindow w;
    QCOMPARE(w.load(""), StartMode::window);
    for (QLineEdit *box : {control<QLineEdit>(&w, "server"), control<QLineEdit>(&w, "userlogin"), control<QLineEdit>(&w, "loginpassword"), control<QLineEdit>(&w, "sendto")})
        QCOMPARE(box->text(), QString());
    QVERIFY(!control<QCheckBox>(&w, "Check1")->isChecked());
    QVERIFY(!w.cmdline());
    QVERIFY(w.forward());
    QVERIFY(nothingStored());

    const QStringList lines = control<QLabel>(&w, "readme")->text().split(QStringLiteral("\r\n"));
    QCOMPARE(lines.size(), 12);
    QCOMPARE(lines[0], QStringLiteral("This Software supports CommandLine Arguments as well"));
    QCOMPARE(lines[2],
             QStringLiteral("morrent POPSERVER LOGIN PASSWORD DELETEFLAG <FORWARDADDRESS>"));
    // The form that keeps the password off the command line.
    QCOMPARE(lines[3], QStringLiteral("morrent --password-file FILE POPSERVER LOGIN DELETEFLAG "
                                      "<FORWARDADDRESS>"));
    QCOMPARE(lines[5], QStringLiteral("for example:"));
    // Three examples: delete 1 with a forward address, 0 with the same one, 1 without one.
    const QStringList one = lines[6].split(' '), two = lines[7].split(' '),
                      three = lines[8].split(' ');
    QCOMPARE(one.size(), 7);
    QCOMPARE(one[0], QStringLiteral("morrent"));
    QCOMPARE(one[4], QStringLiteral("1"));
    QCOMPARE(two[4], QStringLiteral("0"));
    QCOMPARE(two[5], one[5]);
    QCOMPARE(three.size(), 6);
    QCOMPARE(three[4], QStringLiteral("1"));
    for (const QStringList &example : {one, two, three}) {
        QCOMPARE(example.last(), QString());  // each ends with a blank
        // Without the program name and the empty piece after the trailing blank.
        QCOMPARE(morrent::startMode(example.size() - 2), StartMode::commandLine);
    }
    // And one with a password file, ready to copy.
    std::vector<std::string> safe;
    for (const QString &piece : lines[9].split(' ').mid(1)) safe.push_back(piece.toStdString());
    const morrent::CommandLine parsed = morrent::parseCommandLine(safe);
    QCOMPARE(parsed.mode, StartMode::commandLine);
    QCOMPARE(parsed.pieces.size(), std::size_t(4));
    QCOMPARE(lines[10], QString());
    // The closing line says how else it runs: cron and its service unit, nothing to ask for.
    QVERIFY(lines[11].contains(QStringLiteral("cron")));
    QVERIFY(lines[11].contains(QStringLiteral("morrent@")));
    QVERIFY(!lines[11].contains(QStringLiteral("welcome")));
    QVERIFY(!control<QLabel>(&w, "readme")->text().contains(QStringLiteral(".exe")));
}

void MorrentWindowTest::windowModeRestoresTheStoredSettings() {
    store("popserver", QStringLiteral("pop.example.org:1110"));
    store("popuser", QStringLiteral("jdoe"));
    store("poppasswd", QStringLiteral("pa ss"));
    store("popmapping", QStringLiteral("office@example.org"));
    store("deletepopmails", QStringLiteral("1"));
    MorrentWindow w;
    QCOMPARE(w.load(""), StartMode::window);
    QCOMPARE(control<QLineEdit>(&w, "server")->text(), QStringLiteral("pop.example.org:1110"));
    QCOMPARE(control<QLineEdit>(&w, "userlogin")->text(), QStringLiteral("jdoe"));
    QCOMPARE(control<QLineEdit>(&w, "loginpassword")->text(), QStringLiteral("pa ss"));
    QCOMPARE(control<QLineEdit>(&w, "sendto")->text(), QStringLiteral("office@example.org"));
    QVERIFY(control<QCheckBox>(&w, "Check1")->isChecked());
    QVERIFY(w.session().deleteAfter);
    QVERIFY(!w.Winsock1()[0].State());

    // A stored value that is no number leaves the box unchecked.
    store("deletepopmails", QStringLiteral("on"));
    MorrentWindow again;
    again.load("");
    QVERIFY(!control<QCheckBox>(&again, "Check1")->isChecked());
    QCOMPARE(stored("deletepopmails"), QStringLiteral("on"));
}

void MorrentWindowTest::wrongCountEndsWithoutTouchingAnything_data() {
    QTest::addColumn<QString>("line");
    QTest::newRow("one") << "pop.example.org";
    QTest::newRow("three") << "pop.example.org jdoe secret";
    QTest::newRow("six") << "pop.example.org jdoe secret 1 office@example.org extra";
    QTest::newRow("four and two trailing blanks") << "pop.example.org jdoe secret 1  ";
}

void MorrentWindowTest::wrongCountEndsWithoutTouchingAnything() {
    QFETCH(QString, line);
    MorrentWindow w;
    QSignalSpy finished(&w, &MorrentWindow::finished);
    QCOMPARE(w.load(line.toStdString()), StartMode::wrongCount);
    QVERIFY(w.reason().contains(QStringLiteral("wrong number of arguments")));
    QVERIFY(!w.reason().contains(QStringLiteral("secret")));
    QVERIFY(!w.isVisible());
    QVERIFY(!control<QTimer>(&w, "Timer1")->isActive());
    QCOMPARE(w.Winsock1()[0].State(), int(common::Socket::sckClosed));
    QCOMPARE(control<QLineEdit>(&w, "server")->text(), QStringLiteral("Server"));
    QVERIFY(!control<QCheckBox>(&w, "Check1")->isChecked());
    QVERIFY(nothingStored());
    QCOMPARE(finished.count(), 0);  // the caller ends the program
}

void MorrentWindowTest::blanksMakePieces() {
    const int port = closedPort();
    {
        // A trailing blank after four arguments: a fifth, empty piece, so forwarding to "".
        MorrentWindow w;
        QCOMPARE(w.load(QStringLiteral("127.0.0.1:%1 jdoe secret 0 ").arg(port).toStdString()),
                 StartMode::commandLine);
        QVERIFY(w.cmdline());
        QVERIFY(w.forward());
        QCOMPARE(control<QLineEdit>(&w, "sendto")->text(), QString());
        QVERIFY(!w.isVisible());
    }
    {
        // Two blanks: an empty piece that shifts the later ones.
        MorrentWindow w;
        QCOMPARE(w.load(QStringLiteral("127.0.0.1:%1  jdoe 1 0").arg(port).toStdString()),
                 StartMode::commandLine);
        QCOMPARE(control<QLineEdit>(&w, "server")->text(), QStringLiteral("127.0.0.1:%1").arg(port));
        QCOMPARE(control<QLineEdit>(&w, "userlogin")->text(), QString());
        QCOMPARE(control<QLineEdit>(&w, "loginpassword")->text(), QStringLiteral("jdoe"));
        QVERIFY(control<QCheckBox>(&w, "Check1")->isChecked());
        QCOMPARE(control<QLineEdit>(&w, "sendto")->text(), QStringLiteral("0"));
        QCOMPARE(w.session().curpass, std::string("jdoe"));
    }
    {
        // Shifted so that the password lands where the delete flag goes: refused, not a deletion.
        MorrentWindow w;
        QCOMPARE(w.load(QStringLiteral("127.0.0.1:%1  jdoe secret 0").arg(port).toStdString()),
                 StartMode::wrongCount);
        QVERIFY(!w.reason().contains(QStringLiteral("secret")));
        QVERIFY(!control<QCheckBox>(&w, "Check1")->isChecked());
        QVERIFY(!w.session().deleteAfter);
        QCOMPARE(w.Winsock1()[0].State(), int(common::Socket::sckClosed));
    }
    {
        // Four pieces: no forwarding; the box keeps its initial text.
        MorrentWindow w;
        QCOMPARE(w.load(QStringLiteral("127.0.0.1:%1 jdoe secret 0").arg(port).toStdString()),
                 StartMode::commandLine);
        QVERIFY(!w.forward());
        QCOMPARE(control<QLineEdit>(&w, "sendto")->text(), QStringLiteral("Send email To"));
    }
}

void MorrentWindowTest::deleteFlag_data() {
    QTest::addColumn<QString>("flag");
    QTest::addColumn<bool>("checked");
    QTest::newRow("1") << "1" << true;
    QTest::newRow("2") << "2" << true;
    QTest::newRow("+1") << "+1" << true;
    QTest::newRow("0") << "0" << false;
    QTest::newRow("-1") << "-1" << false;
}

void MorrentWindowTest::deleteFlagThatIsNoNumberIsRefused_data() {
    QTest::addColumn<QString>("flag");
    QTest::newRow("a word") << "false";
    QTest::newRow("empty") << "";
}

// A typo in the delete flag must not delete mail: nothing is connected, checked or stored.
void MorrentWindowTest::deleteFlagThatIsNoNumberIsRefused() {
    QFETCH(QString, flag);
    MorrentWindow w;
    QSignalSpy finished(&w, &MorrentWindow::finished);
    QCOMPARE(w.load(QStringLiteral("127.0.0.1:%1 jdoe secret %2").arg(closedPort()).arg(flag)
                        .toStdString()),
             StartMode::wrongCount);
    QVERIFY(w.reason().contains(QStringLiteral("DELETEFLAG")));
    QVERIFY(!w.reason().contains(QStringLiteral("secret")));
    QVERIFY(!w.isVisible());
    QVERIFY(!control<QCheckBox>(&w, "Check1")->isChecked());
    QVERIFY(!w.session().deleteAfter);
    QVERIFY(!control<QTimer>(&w, "Timer1")->isActive());
    QCOMPARE(w.Winsock1()[0].State(), int(common::Socket::sckClosed));
    QVERIFY(nothingStored());
    QCOMPARE(finished.count(), 0);  // the caller ends the program
}

void MorrentWindowTest::deleteFlag() {
    QFETCH(QString, flag);
    QFETCH(bool, checked);
    MorrentWindow w;
    QSignalSpy finished(&w, &MorrentWindow::finished);
    w.load(QStringLiteral("127.0.0.1:%1 jdoe secret %2").arg(closedPort()).arg(flag).toStdString());
    QCOMPARE(control<QCheckBox>(&w, "Check1")->isChecked(), checked);
    QCOMPARE(w.session().deleteAfter, checked);
    // Only the box's change is stored; none of the four values of the window.
    QCOMPARE(stored("deletepopmails"), checked ? QStringLiteral("1") : QString());
    for (const char *name : {"popserver", "popuser", "poppasswd", "popmapping"})
        QCOMPARE(stored(name), QString());
    QVERIFY(finished.wait(10000));
}

void MorrentWindowTest::check1StoresEveryChange() {
    MorrentWindow w;
    w.load("");
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTest::mouseClick(control<QCheckBox>(&w, "Check1"), Qt::LeftButton, {}, QPoint(5, control<QCheckBox>(&w, "Check1")->height() / 2));
    QVERIFY(control<QCheckBox>(&w, "Check1")->isChecked());
    QCOMPARE(stored("deletepopmails"), QStringLiteral("1"));
    QTest::mouseClick(control<QCheckBox>(&w, "Check1"), Qt::LeftButton, {}, QPoint(5, control<QCheckBox>(&w, "Check1")->height() / 2));
    QCOMPARE(stored("deletepopmails"), QStringLiteral("0"));
    QVERIFY(!w.session().deleteAfter);
}

void MorrentWindowTest::downloadNowStoresTheFourValuesEvenWhenConnectFails() {
    MorrentWindow w;
    w.load("");
    const QString server = QStringLiteral("127.0.0.1:%1").arg(closedPort());
    control<QLineEdit>(&w, "server")->setText(server);
    control<QLineEdit>(&w, "userlogin")->setText(QStringLiteral("jdoe"));
    control<QLineEdit>(&w, "loginpassword")->setText(QStringLiteral("Secret7"));
    control<QLineEdit>(&w, "sendto")->setText(QStringLiteral("office@example.org"));
    control<QLineEdit>(&w, "Text1")->setText(QStringLiteral("old status"));
    control<QLineEdit>(&w, "subject")->setText(QStringLiteral("old subject"));
    control<QTimer>(&w, "Timer1")->setInterval(60000);
    control<QPushButton>(&w, "Command1")->click();

    QCOMPARE(stored("popserver"), server);
    QCOMPARE(stored("popuser"), QStringLiteral("jdoe"));
    QCOMPARE(stored("poppasswd"), QStringLiteral("Secret7"));
    QCOMPARE(stored("popmapping"), QStringLiteral("office@example.org"));
    QCOMPARE(control<QLineEdit>(&w, "subject")->text(), QString());
    QVERIFY(!control<QPushButton>(&w, "Command1")->isEnabled());
    // A new download starts a full inactivity interval.
    QVERIFY(control<QTimer>(&w, "Timer1")->isActive());
    QVERIFY(control<QTimer>(&w, "Timer1")->remainingTime() > 30000);

    QTRY_VERIFY_WITH_TIMEOUT(control<QPushButton>(&w, "Command1")->isEnabled(), 10000);
    QVERIFY(control<QLineEdit>(&w, "Text1")->text().contains(QStringLiteral("refused")));
    QVERIFY(!control<QLineEdit>(&w, "Text1")->text().contains(QStringLiteral("Secret7")));
}

void MorrentWindowTest::downloadShowsEachMessageAndForwards() {
    ScriptedPop3 pop({mailNumbered(1), mailNumbered(2)});
    store("maildrop", drop_);
    MorrentWindow w;
    w.load("");
    control<QLineEdit>(&w, "server")->setText(pop.address());
    control<QLineEdit>(&w, "userlogin")->setText(QStringLiteral("jdoe"));
    control<QLineEdit>(&w, "loginpassword")->setText(QStringLiteral("secret"));
    control<QLineEdit>(&w, "sendto")->setText(QStringLiteral("office@example.org"));
    QStringList statuses;
    connect(control<QLineEdit>(&w, "Text1"), &QLineEdit::textChanged, [&](const QString &t) { statuses << t; });
    control<QPushButton>(&w, "Command1")->click();
    QTRY_VERIFY_WITH_TIMEOUT(control<QPushButton>(&w, "Command1")->isEnabled(), 10000);

    QCOMPARE(statuses, QStringList({QStringLiteral("downloaded number 2 of 2"),
                                    QStringLiteral("downloaded number 1 of 2"),
                                    QStringLiteral("2 new messages delivered, 0 deleted")}));
    // The last delivered message is message 1.
    QCOMPARE(control<QLineEdit>(&w, "from")->text(), QStringLiteral("Ann Example <ann@example.org>"));
    QCOMPARE(control<QLineEdit>(&w, "subject")->text(), QStringLiteral("note 1"));
    QCOMPARE(control<QPlainTextEdit>(&w, "body")->toPlainText(), QStringLiteral("body of note 1\n"));
    QCOMPARE(pop.commands, QList<QByteArray>({"capa", "user jdoe", "pass secret", "capa", "list ", "uidl",
                                              "retr 2", "retr 1", "quit"}));
    const QStringList files = pickedUp();
    QCOMPARE(files.size(), 2);
    for (const QString &f : files)
        QVERIFY2(f.contains("To: office@example.org\r\n"), qPrintable(f));

    // The GMime reading shows decoded text.
    ScriptedPop3 one(
        {"From: =?utf-8?q?B=C3=A4rbel?= <b@example.org>\r\n"
         "Subject: =?utf-8?q?Gr=C3=BC=C3=9Fe?=\r\n\r\nHallo\r\n"});
    control<QLineEdit>(&w, "server")->setText(one.address());
    control<QPushButton>(&w, "Command1")->click();
    QTRY_VERIFY_WITH_TIMEOUT(control<QPushButton>(&w, "Command1")->isEnabled(), 10000);
    QCOMPARE(control<QLineEdit>(&w, "subject")->text(), QStringLiteral("Grüße"));
    QVERIFY(control<QLineEdit>(&w, "from")->text().startsWith(QStringLiteral("Bärbel")));
}

void MorrentWindowTest::deletionOnlyWhenChecked() {
    store("maildrop", drop_);
    for (bool checked : {false, true}) {
        ScriptedPop3 pop({mailNumbered(1), mailNumbered(2), mailNumbered(3)});
        MorrentWindow w;
        w.load("");
        control<QLineEdit>(&w, "server")->setText(pop.address());
        control<QLineEdit>(&w, "userlogin")->setText(QStringLiteral("jdoe"));
        control<QLineEdit>(&w, "loginpassword")->setText(QStringLiteral("secret"));
        control<QCheckBox>(&w, "Check1")->setChecked(checked);
        control<QPushButton>(&w, "Command1")->click();
        QTRY_VERIFY_WITH_TIMEOUT(control<QPushButton>(&w, "Command1")->isEnabled(), 10000);
        // Unique ids are asked for either way: a run that fails before it deletes leaves a record.
        QCOMPARE(pop.commands.value(5), QByteArray("uidl"));
        QList<QByteArray> tail = pop.commands.mid(6);
        if (checked)
            QCOMPARE(tail, QList<QByteArray>({"retr 3", "retr 2", "retr 1", "dele 1", "dele 2",
                                              "dele 3", "quit"}));
        else
            QCOMPARE(tail, QList<QByteArray>({"retr 3", "retr 2", "retr 1", "quit"}));
    }
}

void MorrentWindowTest::progressWhileDownloadingAndTheResultAfter() {
    store("maildrop", drop_);
    ScriptedPop3 pop({mailNumbered(1), mailNumbered(2), mailNumbered(3)});
    MorrentWindow w;
    w.load("");
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(!control<QProgressBar>(&w, "progress")->isVisible());
    control<QLineEdit>(&w, "server")->setText(pop.address());
    control<QLineEdit>(&w, "userlogin")->setText(QStringLiteral("jdoe"));
    control<QLineEdit>(&w, "loginpassword")->setText(QStringLiteral("secret"));
    QStringList shown;
    bool visible = true;
    connect(control<QProgressBar>(&w, "progress"), &QProgressBar::valueChanged, [&] {
        visible = visible && control<QProgressBar>(&w, "progress")->isVisible();
        shown << control<QProgressBar>(&w, "progress")->text();
    });
    control<QPushButton>(&w, "Command1")->click();
    QVERIFY(control<QProgressBar>(&w, "progress")->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(control<QPushButton>(&w, "Command1")->isEnabled(), 10000);
    QVERIFY(visible);
    QVERIFY(!shown.isEmpty());
    QVERIFY2(control<QProgressBar>(&w, "progress")->text().startsWith(QStringLiteral("3 of 3 messages, ")),
             qPrintable(control<QProgressBar>(&w, "progress")->text()));
    QCOMPARE(control<QProgressBar>(&w, "progress")->value(), 1000);
    QVERIFY(!control<QProgressBar>(&w, "progress")->isVisible());
    QCOMPARE(control<QLineEdit>(&w, "Text1")->text(), QStringLiteral("3 new messages delivered, 0 deleted"));

    // Kept on the server, delivered before: nothing new the next time.
    control<QPushButton>(&w, "Command1")->click();
    QTRY_VERIFY_WITH_TIMEOUT(control<QPushButton>(&w, "Command1")->isEnabled(), 10000);
    QCOMPARE(control<QLineEdit>(&w, "Text1")->text(), QStringLiteral("0 new messages delivered, 0 deleted"));
    QCOMPARE(pickedUp().size(), 3);
    QCOMPARE(pop.commands.count("retr 1"), 1);

    // With deletion on, the result says so; what was delivered before is deleted, not
    // delivered again.
    control<QCheckBox>(&w, "Check1")->setChecked(true);
    control<QPushButton>(&w, "Command1")->click();
    QTRY_VERIFY_WITH_TIMEOUT(control<QPushButton>(&w, "Command1")->isEnabled(), 10000);
    QCOMPARE(control<QLineEdit>(&w, "Text1")->text(), QStringLiteral("0 new messages delivered, 3 deleted"));
    QCOMPARE(pickedUp().size(), 3);
}

void MorrentWindowTest::disconnectNowEndsTheSession() {
    ScriptedPop3 silent({}, true);
    MorrentWindow w;
    w.load("");
    control<QLineEdit>(&w, "server")->setText(silent.address());
    control<QPushButton>(&w, "Command1")->click();
    QVERIFY(!control<QPushButton>(&w, "Command1")->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(w.Winsock1()[0].State(), int(common::Socket::sckConnected), 10000);
    control<QPushButton>(&w, "Command2")->click();
    QVERIFY(control<QPushButton>(&w, "Command1")->isEnabled());
    QCOMPARE(w.Winsock1()[0].State(), int(common::Socket::sckClosed));
    QVERIFY(!control<QLineEdit>(&w, "Text1")->text().isEmpty());
    // Pressed again with nothing running, it changes nothing.
    control<QPushButton>(&w, "Command2")->click();
    QVERIFY(control<QPushButton>(&w, "Command1")->isEnabled());
}

void MorrentWindowTest::commandLineReportsTheOutcome_data() {
    QTest::addColumn<QString>("script");  // what the server does
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("reason");
    QTest::newRow("delivered") << "mail" << true << "";
    QTest::newRow("silent server") << "silent" << false << "no answer";
    QTest::newRow("no host") << "no host" << false << "is not a server name";
}

void MorrentWindowTest::commandLineReportsTheOutcome() {
    QFETCH(QString, script);
    QFETCH(bool, ok);
    QFETCH(QString, reason);
    store("maildrop", drop_);
    std::unique_ptr<ScriptedPop3> pop;
    QString server = QStringLiteral("[::1");
    if (script == "mail")
        pop = std::make_unique<ScriptedPop3>(QList<QByteArray>{mailNumbered(1)});
    else if (script == "silent")
        pop = std::make_unique<ScriptedPop3>(QList<QByteArray>{}, true);
    if (pop) server = pop->address();

    qputenv("MORRENT_TIMER_MS", "200");
    MorrentWindow w;
    qunsetenv("MORRENT_TIMER_MS");
    QSignalSpy finished(&w, &MorrentWindow::finished);
    QCOMPARE(w.load((server + QStringLiteral(" jdoe secret 1")).toStdString()),
             StartMode::commandLine);
    if (finished.isEmpty()) QVERIFY(finished.wait(10000));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished[0][0].toInt(), ok ? 0 : 1);
    QVERIFY2(finished[0][1].toString().contains(reason), qPrintable(finished[0][1].toString()));
    QVERIFY(!finished[0][1].toString().contains(QStringLiteral("secret")));
    QVERIFY(!w.isVisible());
    // Nothing shown in the window in this mode; nothing stored but the delete flag.
    QCOMPARE(control<QLineEdit>(&w, "subject")->text(), QString());
    QCOMPARE(stored("popserver"), QString());
    QCOMPARE(pickedUp().size(), ok ? 1 : 0);
}

void MorrentWindowTest::badMaildropFailsTheDownload() {
    ScriptedPop3 pop({mailNumbered(1)});
    store("maildrop", QStringLiteral("nowhere"));
    MorrentWindow w;
    w.load("");
    control<QLineEdit>(&w, "server")->setText(pop.address());
    control<QPushButton>(&w, "Command1")->click();
    QVERIFY(control<QPushButton>(&w, "Command1")->isEnabled());
    QVERIFY(control<QLineEdit>(&w, "Text1")->text().startsWith(QStringLiteral("maildrop")));
    QTest::qWait(50);
    QVERIFY(pop.commands.isEmpty());
}


namespace {

// A password command: a script of the test's own, run by morrent without a shell.
QString passwordScript(const QTemporaryDir &dir, const char *name, const QByteArray &body) {
    const QString path = dir.filePath(QString::fromLatin1(name));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return {};
    f.write("#!/bin/sh\n" + body);
    f.close();
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

}  // namespace

void MorrentWindowTest::storedPasswordCommandGivesThePassword() {
    ScriptedPop3 pop({mailNumbered(1)});
    store("maildrop", drop_);
    store("passwordcommand", passwordScript(tmp_, "pw", "echo secret\n") + QStringLiteral(" ignored-word"));
    MorrentWindow w;
    w.load("");
    control<QLineEdit>(&w, "server")->setText(pop.address());
    control<QLineEdit>(&w, "userlogin")->setText(QStringLiteral("jdoe"));
    control<QLineEdit>(&w, "loginpassword")->setText(QStringLiteral("typed"));
    control<QPushButton>(&w, "Command1")->click();
    QTRY_VERIFY_WITH_TIMEOUT(control<QPushButton>(&w, "Command1")->isEnabled(), 10000);
    QVERIFY(pop.commands.contains("pass secret"));
    QVERIFY(!pop.commands.contains("pass typed"));
    QCOMPARE(pickedUp().size(), 1);
    // What the command printed is no setting: the box's text is what is stored.
    QCOMPARE(stored("poppasswd"), QStringLiteral("typed"));
}

void MorrentWindowTest::disconnectNowStopsAPasswordCommand() {
    ScriptedPop3 pop({mailNumbered(1)});
    store("maildrop", drop_);
    const QString pidFile = tmp_.filePath(QStringLiteral("helper.pid"));
    store("passwordcommand", passwordScript(tmp_, "slow", "echo $$ > " + QFile::encodeName(pidFile) + "\nexec sleep 50\n"));
    MorrentWindow w;
    w.load("");
    control<QLineEdit>(&w, "server")->setText(pop.address());
    control<QPushButton>(&w, "Command1")->click();
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(pidFile) && QFile(pidFile).size() > 0, 10000);
    QFile f(pidFile);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray pid = f.readAll().trimmed();
    control<QPushButton>(&w, "Command2")->click();
    QVERIFY(control<QPushButton>(&w, "Command1")->isEnabled());
    // The helper is gone (killed and reaped), not left to run on unwatched.
    QVERIFY(pid.toInt() > 0);
    QVERIFY(::kill(pid_t(pid.toInt()), 0) != 0 && errno == ESRCH);
    QVERIFY(pop.commands.isEmpty());  // nothing was connected
}
// Each run adds a row at the top, and a window that opens shows the runs the history file keeps.
void MorrentWindowTest::historyShowsTheRunsNewestFirst() {
    ScriptedPop3 pop({mailNumbered(1), mailNumbered(2)});
    store("maildrop", drop_);
    auto rows = [](MorrentWindow &w) {
        QStringList shown;
        auto *table = control<QTableWidget>(&w, "history");
        for (int r = 0; r < table->rowCount(); ++r)
            for (int c = 1; c < table->columnCount(); ++c) shown << table->item(r, c)->text();
        return shown.join(QLatin1Char('|'));
    };
    const QString runs = QStringLiteral("%1|jdoe|0|0|0|ok|%1|jdoe|2|2|0|ok").arg(pop.address());
    {
        MorrentWindow w;
        w.load("");
        QCOMPARE(rows(w), QString());
        control<QLineEdit>(&w, "server")->setText(pop.address());
        control<QLineEdit>(&w, "userlogin")->setText(QStringLiteral("jdoe"));
        for (int run = 0; run < 2; ++run) {
            control<QPushButton>(&w, "Command1")->click();
            QTRY_VERIFY_WITH_TIMEOUT(control<QPushButton>(&w, "Command1")->isEnabled(), 10000);
        }
        QCOMPARE(rows(w), runs);
    }
    MorrentWindow again;
    again.load("");
    QCOMPARE(rows(again), runs);
}

QTEST_MAIN(MorrentWindowTest)
#include "morrent_window.moc"
