// quessel's windows under the offscreen platform: start-up, the hidden session window with its
// slots, and the relay seen from both ends (a client and a scripted server in this process).
#include "common/statsview.h"
#include <QTableView>
#include <sys/socket.h>

#include <QScreen>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "common/controls.h"
#include "controls.h"
#include "quessel/frmmain.h"
#include "quessel/popad.h"
#include "quessel/sessionwindow.h"

using namespace quessel;

namespace {

int freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

Options localOptions(int serverPort = 110) {
    Options o;
    o.port = freePort();
    o.bind = "127.0.0.1";
    o.serverPort = serverPort;
    // The test's servers are on this machine, and scripted to expect USER after their greeting.
    o.allowServers = *common::AddressList::parse("127.0.0.0/8");
    o.serverTls = ServerTls::off;
    return o;
}

// A client that has had the proxy's greeting.
std::unique_ptr<QTcpSocket> greetedClient(int port) {
    auto c = std::make_unique<QTcpSocket>();
    c->connectToHost(QHostAddress::LocalHost, quint16(port));
    if (!QTest::qWaitFor([&] { return c->bytesAvailable() >= 5; }, 5000)) return nullptr;
    if (c->read(5) != "+OK\r\n") return nullptr;
    return c;
}

QByteArray readUntil(QTcpSocket *s, const QByteArray &end) {
    QByteArray got;
    (void)QTest::qWaitFor(
        [&] {
            got += s->readAll();
            return got.endsWith(end);
        },
        5000);
    return got;
}

// Resets the connection instead of closing it.
void reset(QTcpSocket *s) {
    struct linger lg {
        1, 0
    };
    ::setsockopt(int(s->socketDescriptor()), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    s->abort();
}

}  // namespace

class QuesselWindows : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void startShowsInformationWindowAndListens();
    void startProxyAgainKeepsSessions();
    void portInUseIsShownAndRetried();
    void refusalsAreCountedInTheStatusBar();
    void slotsBeforeLoginEndAndAreCounted();
    void relayPassesBothWaysAndTraces();
    void serverClosingEndsTheSlot();
    void clientResetFreesTheWholeSlot();
    void unloadClosesEverySession();

private:
    // The main window as the program shows it, gone once closed.
    FrmMain *shown(const Options &o) {
        auto *f = new FrmMain(o);
        f->setAttribute(Qt::WA_DeleteOnClose);
        f->show();
        alive_ = f;
        return f;
    }
    QPointer<FrmMain> alive_;

private:
    QTemporaryDir config_;
};

void QuesselWindows::initTestCase() {
    QVERIFY(config_.isValid());
    qputenv("XDG_CONFIG_HOME", config_.path().toLocal8Bit());
}

void QuesselWindows::startShowsInformationWindowAndListens() {
    const Options o = localOptions();
    FrmMain *f = shown(o);
    QVERIFY(QTest::qWaitForWindowExposed(f));
    QCOMPARE(f->objectName(), QStringLiteral("frmMain"));
    // A maximised child adds its caption in brackets, so the frame's own comes first.
    QVERIFY(f->windowTitle().startsWith(QStringLiteral("quessel")));
    QCOMPARE(f->statusText(), QStringLiteral("Status"));

    // First run: nothing saved yet. The design's size at least, grown to show the child as far
    // as the screen allows.
    QVERIFY(f->width() >= common::twipsToPixels(8500) - 1);
    QVERIFY(f->height() >= common::twipsToPixels(6500) - 1);
    QVERIFY(f->screen()->availableGeometry().contains(f->frameGeometry()));

    const QList<QAction *> bar = f->menuBar()->actions();
    QCOMPARE(bar.size(), 3);
    QCOMPARE(bar[0]->text(), QStringLiteral("&File"));
    QCOMPARE(bar[1]->text(), QStringLiteral("Start Proxy"));
    QCOMPARE(bar[1]->objectName(), QStringLiteral("sproxy"));
    QCOMPARE(bar[2]->objectName(), QStringLiteral("connectionsview"));
    QCOMPARE(control<QMenu>(f, "mnuFile")->actions().size(), 1);
    QAction *mnuFileExit = control<QAction>(f, "mnuFileExit");
    QCOMPARE(mnuFileExit->text(), QStringLiteral("E&xit"));

    Popad *p = f->popad();
    QVERIFY(p);
    QCOMPARE(p->objectName(), QStringLiteral("popad"));
    auto *popadSub = qobject_cast<QMdiSubWindow *>(p->parentWidget());
    QVERIFY(popadSub && popadSub->isVisible() && popadSub->isMaximized());
    QCOMPARE(popadSub->windowTitle(), QStringLiteral("quessel"));
    QCOMPARE(f->mdiArea()->activeSubWindow(), popadSub);
    // The text fills the window inside its margin, and ends nowhere past the window's edge.
    QLabel *label = control<QLabel>(p, "Label1");
    QTRY_COMPARE(label->geometry().bottomRight() + label->pos(),
                 QPoint(p->width() - 1, p->height() - 1));
    const QStringList lines = label->text().split(QStringLiteral("\r\n"));
    QCOMPARE(lines.size(), 16);
    QCOMPARE(lines[0], QStringLiteral("quessel"));
    QCOMPARE(lines.mid(4, 2), QStringList({QString(), QString()}));
    QCOMPARE(lines[6], QStringLiteral("1. Just run this Proxy on your Server"));
    QCOMPARE(lines[7], QStringLiteral("2. reconfigure your email clients:"));
    QCOMPARE(lines[8], QStringLiteral("2.1. change in your email client software the username "
                                      "from USERNAME to USERNAME|SERVER"));
    QCOMPARE(lines[9], QStringLiteral("2.2. change in your email client software the SERVER from "
                                      "SERVER to THISCOMPUTERNAME"));
    QCOMPARE(lines.mid(10, 2), QStringList({QString(), QString()}));
    QCOMPARE(lines[15], QString());

    SessionWindow *s = f->session();
    QVERIFY(s);
    QCOMPARE(s->objectName(), QStringLiteral("quessel"));
    QVERIFY(!s->isVisible());
    QVERIFY(!s->parentWidget()->isVisible());
    QVERIFY(s->listening());
    QVERIFY(!s->tracing());

    // Accepting without any user action; the greeting is exactly five bytes.
    auto c = greetedClient(o.port);
    QVERIFY(c);
    QTest::qWait(50);
    QCOMPARE(c->bytesAvailable(), 0);
    QCOMPARE(s->slotCount(), 1);

    // The live view opens beside the information window and shows what the relay is doing.
    f->menuBar()->actions()[2]->trigger();
    auto *view = f->findChild<common::StatsView *>(QStringLiteral("StatsView"));
    QVERIFY(view);
    QTRY_VERIFY(view->isVisible());
    QVERIFY(control<QLabel>(view, "totals")->text().startsWith(QStringLiteral("1 open")));

    mnuFileExit->trigger();
    QTRY_VERIFY(alive_.isNull());
    // Closing the program closes the sessions.
    QTRY_COMPARE(c->state(), QAbstractSocket::UnconnectedState);

}

void QuesselWindows::startProxyAgainKeepsSessions() {
    const Options o = localOptions();
    FrmMain *f = shown(o);
    SessionWindow *s = f->session();
    auto c = greetedClient(o.port);
    QVERIFY(c);

    control<QAction>(f, "sproxy")->trigger();
    QCOMPARE(f->session(), s);
    QVERIFY(!s->isVisible());
    QVERIFY(f->popad()->isVisible());
    auto *popadSub = qobject_cast<QMdiSubWindow *>(f->popad()->parentWidget());
    QVERIFY(popadSub->isMaximized());
    QCOMPARE(f->mdiArea()->activeSubWindow(), popadSub);
    QCOMPARE(s->slotCount(), 1);
    c->write("CAPA\r\n");
    QVERIFY(readUntil(c.get(), "\r\n.\r\n").contains("USER\r\n"));
    f->close();
    QTRY_VERIFY(alive_.isNull());
}

void QuesselWindows::portInUseIsShownAndRetried() {
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
    Options o = localOptions();
    o.port = holder.serverPort();
    FrmMain *f = shown(o);
    QVERIFY(!f->session()->listening());
    QCOMPARE(f->statusText(),
             QStringLiteral("Not listening: cannot open port 127.0.0.1:%1 (address in use)")
                 .arg(o.port));

    // Once the port is free, "Start Proxy" opens it.
    holder.close();
    control<QAction>(f, "sproxy")->trigger();
    QVERIFY(f->session()->listening());
    QCOMPARE(f->statusText(), QStringLiteral("Status"));
    QVERIFY(greetedClient(o.port));
    f->close();
    QTRY_VERIFY(alive_.isNull());
}

void QuesselWindows::refusalsAreCountedInTheStatusBar() {
    Options o = localOptions(freePort());
    o.allowClients = *common::AddressList::parse("127.0.0.2");
    o.allowServers = common::AddressList();
    FrmMain *f = shown(o);
    // Where it listens and how busy it is.
    const QString where = QStringLiteral("listening on 127.0.0.1:%1 · ").arg(o.port);
    QCOMPARE(f->countsText(), where + QStringLiteral("0 open"));
    // From an address outside the list: closed before any greeting.
    QTcpSocket outsider;
    outsider.connectToHost(QHostAddress::LocalHost, quint16(o.port));
    QTRY_COMPARE(outsider.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(outsider.readAll(), QByteArray());
    QTRY_COMPARE(f->countsText(), where + QStringLiteral("0 open · refused: 1 clients, 0 servers"));
    // An allowed client naming a server on this machine.
    QTcpSocket inside;
    inside.bind(QHostAddress(QStringLiteral("127.0.0.2")));
    inside.connectToHost(QHostAddress::LocalHost, quint16(o.port));
    QVERIFY(readUntil(&inside, "\r\n") == "+OK\r\n");
    inside.write("USER a|127.0.0.1\r\n");
    QCOMPARE(readUntil(&inside, "\r\n"), QByteArray("-ERR POP3 server 127.0.0.1 is not available\r\n"));
    QTRY_COMPARE(f->countsText(), where + QStringLiteral("0 open · refused: 1 clients, 1 servers"));
    f->close();
    QTRY_VERIFY(alive_.isNull());
}

// The window counts its slots; a client that leaves before its login, or says QUIT first, ends
// its slot.
void QuesselWindows::slotsBeforeLoginEndAndAreCounted() {
    const Options o = localOptions();
    SessionWindow w(o);
    w.load();
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 1; i <= 3; ++i) {
        clients.push_back(greetedClient(o.port));
        QVERIFY(clients.back());
    }
    QCOMPARE(w.slotCount(), 3);

    clients[1]->disconnectFromHost();
    QTRY_VERIFY(!w.socki().exists(2));
    QCOMPARE(w.slotCount(), 2);

    // QUIT is answered.
    clients[0]->write("QUIT\r\n");
    QCOMPARE(readUntil(clients[0].get(), "\r\n"), QByteArray("+OK\r\n"));
    QTRY_VERIFY(!w.socki().exists(1));
    QTRY_COMPARE(clients[0]->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(w.slotCount(), 1);
}

void QuesselWindows::relayPassesBothWaysAndTraces() {
    QTcpServer pop;
    QVERIFY(pop.listen(QHostAddress::LocalHost, 0));
    SessionWindow w(localOptions(pop.serverPort()));
    w.setTracing(true);
    w.load();
    auto c = greetedClient(w.socki().at(0)->LocalPort);
    QVERIFY(c);

    c->write("CAPA\r\nUSER alice|127.0.0.1\r\nPASS x|user\r\n");
    QVERIFY(readUntil(c.get(), "\r\n.\r\n").startsWith("+OK"));
    QTRY_VERIFY(pop.hasPendingConnections());
    QTcpSocket *e = pop.nextPendingConnection();
    QVERIFY(w.socke().exists(1));
    // Nothing of the client's reaches a server before its greeting.
    QTest::qWait(100);
    QCOMPARE(e->bytesAvailable(), 0);

    // The greeting line goes no further; what follows it in the same chunk does.
    e->write("+OK pop ready\r\n+OK alice\r\n");
    QCOMPARE(readUntil(e, "PASS x|user\r\n"), QByteArray("USER alice\r\nPASS x|user\r\n"));
    QCOMPARE(readUntil(c.get(), "+OK alice\r\n"), QByteArray("+OK alice\r\n"));
    c->write("STAT\r\n");
    QCOMPARE(readUntil(e, "STAT\r\n"), QByteArray("STAT\r\n"));
    e->write("+OK 1 20\r\n");
    QCOMPARE(readUntil(c.get(), "\r\n"), QByteArray("+OK 1 20\r\n"));

    // The boxes repaint a little later.
    const auto *clientTrace = control<common::TraceBox>(&w, "Text1");
    const auto *serverTrace = control<common::TraceBox>(&w, "Text2");
    QTRY_VERIFY(clientTrace->toPlainText().contains(QStringLiteral("1: STAT")));
    QTRY_VERIFY(serverTrace->toPlainText().contains(QStringLiteral("1: +OK 1 20")));
    const QString client = clientTrace->toPlainText(), server = serverTrace->toPlainText();
    QVERIFY(client.contains(QStringLiteral("1: USER alice")));
    // The password goes to the server but never into the trace.
    QVERIFY(client.contains(QStringLiteral("PASS ***")));
    QVERIFY(!client.contains(QStringLiteral("x|user")));
    QVERIFY(!client.contains(QStringLiteral("CAPA")));
    QVERIFY(server.contains(QStringLiteral("1: +OK alice")));
    QVERIFY(server.contains(QStringLiteral("1: +OK 1 20")));
    QVERIFY(!server.contains(QStringLiteral("pop ready")));

    // The connections table: the login without its password, the bytes each way, the counts.
    common::StatsView view([&w] { return w.snapshot(); });
    view.refresh();
    const QAbstractItemModel *table = control<QTableView>(&view, "connections")->model();
    QCOMPARE(table->rowCount(), 1);
    QCOMPARE(table->index(0, 2).data().toString(), QStringLiteral("alice|127.0.0.1"));
    QCOMPARE(table->index(0, 3).data().toString(), QStringLiteral("relaying"));
    QCOMPARE(table->index(0, 5).data().toLongLong(), w.snapshot().connections[0].fromServer);
    QVERIFY(table->index(0, 5).data().toInt() >= 20);  // "+OK alice", "+OK 1 20" and quessel's own
    const common::RelaySnapshot s = w.snapshot();
    QCOMPARE(s.counts.handled.of("ok"), 1u);
    std::int64_t carried = 0;
    for (const auto &second : s.throughput) carried += second.fromServer;
    QCOMPARE(carried, s.counts.fromServer);
    QCOMPARE(control<common::ThroughputPlot>(&view, "throughput")->history().size(),
             std::size_t(common::Throughput::kSeconds));
}

void QuesselWindows::serverClosingEndsTheSlot() {
    QTcpServer pop;
    QVERIFY(pop.listen(QHostAddress::LocalHost, 0));
    SessionWindow w(localOptions(pop.serverPort()));
    w.load();
    auto c = greetedClient(w.socki().at(0)->LocalPort);
    QVERIFY(c);
    c->write("USER a|127.0.0.1\r\n");
    QTRY_VERIFY(pop.hasPendingConnections());
    QTcpSocket *e = pop.nextPendingConnection();
    e->write("+OK\r\n");
    QVERIFY(readUntil(e, "\r\n").startsWith("USER a"));
    c->write("QUIT\r\n");
    QVERIFY(readUntil(e, "QUIT\r\n").endsWith("QUIT\r\n"));
    e->write("+OK bye\r\n");
    e->disconnectFromHost();
    // The client gets the last answer, then the end of the stream; then the slot is free.
    QCOMPARE(readUntil(c.get(), "\r\n"), QByteArray("+OK bye\r\n"));
    QTRY_COMPARE(c->state(), QAbstractSocket::UnconnectedState);
    QTRY_VERIFY(!w.socki().exists(1));
    QVERIFY(!w.socke().exists(1));
    QCOMPARE(w.slotCount(), 0);
}

void QuesselWindows::clientResetFreesTheWholeSlot() {
    QTcpServer pop;
    QVERIFY(pop.listen(QHostAddress::LocalHost, 0));
    SessionWindow w(localOptions(pop.serverPort()));
    w.load();
    auto c = greetedClient(w.socki().at(0)->LocalPort);
    QVERIFY(c);
    c->write("USER a|127.0.0.1\r\n");
    QTRY_VERIFY(pop.hasPendingConnections());
    QTcpSocket *e = pop.nextPendingConnection();
    e->write("+OK\r\n+OK\r\n");
    QCOMPARE(readUntil(c.get(), "\r\n"), QByteArray("+OK\r\n"));

    reset(c.get());
    QTRY_VERIFY(!w.socki().exists(1));
    QVERIFY(!w.socke().exists(1));
    QTRY_COMPARE(e->state(), QAbstractSocket::UnconnectedState);
}

void QuesselWindows::unloadClosesEverySession() {
    QTcpServer pop;
    QVERIFY(pop.listen(QHostAddress::LocalHost, 0));
    auto w = std::make_unique<SessionWindow>(localOptions(pop.serverPort()));
    w->load();
    const int port = w->socki().at(0)->LocalPort;
    auto waiting = greetedClient(port);
    auto relayed = greetedClient(port);
    QVERIFY(waiting && relayed);
    relayed->write("USER a|127.0.0.1\r\n");
    QTRY_VERIFY(pop.hasPendingConnections());
    QTcpSocket *e = pop.nextPendingConnection();
    e->write("+OK\r\n");
    QVERIFY(readUntil(e, "\r\n").startsWith("USER a"));

    w.reset();
    QTRY_COMPARE(waiting->state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(relayed->state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(e->state(), QAbstractSocket::UnconnectedState);
    // The listener went with the window.
    QTcpSocket late;
    late.connectToHost(QHostAddress::LocalHost, quint16(port));
    QVERIFY(!late.waitForConnected(2000) || !late.waitForReadyRead(500));
}

QTEST_MAIN(QuesselWindows)
#include "quessel_windows.moc"
