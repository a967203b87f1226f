// The event-loop side of a download, against scripted servers in this process: the inactivity
// timer, the wait for the MTA's confirmation before the next RETR, and a large message streamed to
// an MTA that reads slowly.
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include "common/socketarray.h"
#include "morrent/deliverer.h"
#include "morrent/pop3session.h"

using namespace morrent;

namespace {

// One client at a time; every line it sends is kept. Replies come from `answer`, which may also
// return nothing (the server stays silent).
class LineServer : public QObject {
public:
    std::function<QByteArray(const QByteArray &line)> answer;
    std::function<void(QByteArray &pending, QTcpSocket *)> raw;  // takes bytes before line parsing
    QByteArray greeting;
    QList<QByteArray> lines;
    QTcpSocket *client = nullptr;

    LineServer() {
        server_.listen(QHostAddress::LocalHost, 0);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            client = server_.nextPendingConnection();
            connect(client, &QTcpSocket::readyRead, this, [this] {
                if (!dripping) onread();
            });
            if (!greeting.isEmpty()) client->write(greeting);
        });
    }
    quint16 port() const { return server_.serverPort(); }
    void onread() {
        pending_ += client->readAll();
        if (raw) raw(pending_, client);
        int nl;
        while ((nl = pending_.indexOf('\n')) >= 0) {
            QByteArray line = pending_.left(nl + 1);
            pending_.remove(0, nl + 1);
            lines << line;
            if (answer) client->write(answer(line));
        }
    }
    bool dripping = false;  // read only when onread() is called from outside

private:
    QTcpServer server_;
    QByteArray pending_;
};

struct Fixture {
    Pop3Session engine;
    common::SocketArray winsock{QStringLiteral("Winsock1")};
    QTimer timer;
    Deliverer deliverer;
    Download download{engine, winsock, timer, deliverer};
    Fixture() {
        timer.setInterval(30000);
        engine.curuser = "alice";
        engine.curpass = "secret";
    }
};

QByteArray pop3answer(const QByteArray &line, const QList<QByteArray> &mail) {
    if (line.startsWith("user ") || line.startsWith("pass ")) return "+OK\r\n";
    if (line.startsWith("capa")) return "-ERR unknown command\r\n";  // one RETR at a time
    if (line.startsWith("list ") || line.startsWith("uidl")) {
        QByteArray out = "+OK\r\n";
        for (int i = 0; i < mail.size(); ++i)
            out += QByteArray::number(i + 1) + " " +
                   (line.startsWith("list") ? QByteArray::number(mail[i].size())
                                            : "id" + QByteArray::number(i + 1)) +
                   "\r\n";
        return out + ".\r\n";
    }
    if (line.startsWith("retr ")) {
        QByteArray m = mail.value(line.mid(5).trimmed().toInt() - 1);
        m.replace("\r\n.", "\r\n..");
        if (m.startsWith('.')) m.prepend('.');
        return "+OK\r\n" + m + ".\r\n";
    }
    if (line.startsWith("dele ")) return "+OK\r\n";
    if (line.startsWith("quit")) return "+OK bye\r\n";
    return "-ERR what\r\n";
}

}  // namespace

class DownloadTest : public QObject {
    Q_OBJECT
    QTemporaryDir state_;
private slots:
    void initTestCase() {
        QVERIFY(state_.isValid());
        qputenv("XDG_STATE_HOME", state_.path().toLocal8Bit());
    }
    void silentServerEndsAtTheTimer();
    void nextRetrWaitsForTheMtasConfirmation();
    void largeMessageToASlowMta();
};

void DownloadTest::silentServerEndsAtTheTimer() {
    LineServer pop;
    pop.greeting = "+OK ready\r\n";  // and then never another word
    Fixture f;
    f.timer.setInterval(200);
    f.deliverer.configure(QDir::tempPath() + "/morrent-download-unused");
    QSignalSpy ended(&f.download, &Download::ended);
    f.download.start("127.0.0.1:" + std::to_string(pop.port()));
    QVERIFY(ended.wait(10000));
    QCOMPARE(ended.at(0).at(0).toBool(), false);
    QCOMPARE(ended.at(0).at(1).toString(),
             QStringLiteral("no answer from the server for 30 seconds"));
    QCOMPARE(pop.lines, QList<QByteArray>{"capa\r\n"});
    QVERIFY(!f.download.running());
    QVERIFY(!f.timer.isActive());
}

void DownloadTest::nextRetrWaitsForTheMtasConfirmation() {
    const QList<QByteArray> mail = {"To: x@y\r\nSubject: 1\r\n\r\none\r\n",
                                    "To: x@y\r\nSubject: 2\r\n\r\n.two\r\n"};
    LineServer pop;
    pop.greeting = "+OK ready\r\n";
    pop.answer = [&](const QByteArray &line) { return pop3answer(line, mail); };

    // An MTA that takes its time with the 250 after the final dot, and notes what the POP3 server
    // had been asked by then.
    LineServer mta;
    mta.greeting = "220 mta\r\n";
    QList<QList<QByteArray>> popseenatdot;
    QByteArray text;
    bool indata = false;
    mta.answer = [&](const QByteArray &line) -> QByteArray {
        if (indata) {
            if (line == ".\r\n") {
                indata = false;
                popseenatdot << pop.lines;
                QTimer::singleShot(300, &mta, [&] { mta.client->write("250 queued\r\n"); });
                return {};
            }
            text += line;
            return {};
        }
        if (line.startsWith("EHLO")) return "250-mta\r\n250 PIPELINING\r\n";
        if (line.startsWith("DATA")) {
            indata = true;
            return "354 go\r\n";
        }
        if (line.startsWith("QUIT")) return "221 bye\r\n";
        return "250 ok\r\n";
    };

    Fixture f;
    f.engine.deleteAfter = true;
    QVERIFY(f.deliverer.configure("smtp://127.0.0.1:" + QString::number(mta.port())));
    f.download.forward = [] { return std::optional<std::string>("fwd@example.org"); };
    QSignalSpy ended(&f.download, &Download::ended);
    QSignalSpy status(&f.download, &Download::status);
    f.download.start("127.0.0.1:" + std::to_string(pop.port()));
    QVERIFY(ended.wait(20000));
    QCOMPARE(ended.at(0).at(0).toBool(), true);

    QCOMPARE(popseenatdot.size(), 2);
    QCOMPARE(popseenatdot[0].last(), QByteArray("retr 2\r\n"));  // not yet retr 1
    QCOMPARE(popseenatdot[1].last(), QByteArray("retr 1\r\n"));  // not yet any dele
    QCOMPARE(pop.lines.mid(5), (QList<QByteArray>{"uidl\r\n", "retr 2\r\n", "retr 1\r\n", "dele 1\r\n",
                                                  "dele 2\r\n", "quit\r\n"}));
    QCOMPARE(text, QByteArray("To: fwd@example.org\r\nSubject: 2\r\n\r\n..two\r\n"
                              "To: fwd@example.org\r\nSubject: 1\r\n\r\none\r\n"));
    QList<QByteArray> rcpts;
    for (const QByteArray &line : mta.lines)
        if (line.startsWith("RCPT")) rcpts << line;
    QCOMPARE(rcpts,
             (QList<QByteArray>{"RCPT TO:<fwd@example.org>\r\n", "RCPT TO:<fwd@example.org>\r\n"}));
    QCOMPARE(status.last().at(0).toString(), QStringLiteral("downloaded number 1 of 2"));
}

void DownloadTest::largeMessageToASlowMta() {
    QByteArray big = "To: x@y\r\nSubject: big\r\n\r\n";
    while (big.size() < 6 << 20)
        big += ".a line that starts with a dot\r\n" + QByteArray(200, 'z') + "\r\n";
    const QList<QByteArray> mail = {big};
    LineServer pop;
    pop.greeting = "+OK ready\r\n";
    pop.answer = [&](const QByteArray &line) { return pop3answer(line, mail); };

    // The MTA reads 64 KiB every 5 ms, so the sender keeps running into a full connection.
    LineServer mta;
    mta.greeting = "220 mta\r\n";
    QByteArray received;
    bool indata = false;
    QTimer drip;
    mta.raw = [&](QByteArray &pending, QTcpSocket *) {
        if (!indata) return;
        received += pending;
        pending.clear();
        if (received.endsWith("\r\n.\r\n")) {
            indata = false;
            mta.dripping = false;
            mta.client->write("250 queued\r\n");
        }
    };
    mta.answer = [&](const QByteArray &line) -> QByteArray {
        if (line.startsWith("EHLO")) return "250 mta\r\n";
        if (line.startsWith("DATA")) {
            indata = true;
            mta.client->setReadBufferSize(64 * 1024);
            mta.dripping = true;
            return "354 go\r\n";
        }
        if (line.startsWith("QUIT")) return "221 bye\r\n";
        return "250 ok\r\n";
    };
    QObject::connect(&drip, &QTimer::timeout, &mta, [&] {
        if (mta.client) mta.onread();
    });
    drip.start(5);

    Fixture f;
    QVERIFY(f.deliverer.configure("smtp://127.0.0.1:" + QString::number(mta.port())));
    QSignalSpy ended(&f.download, &Download::ended);
    f.download.start("127.0.0.1:" + std::to_string(pop.port()));
    QVERIFY(ended.wait(60000));
    QCOMPARE(ended.at(0).at(1).toString(), QString());
    QCOMPARE(ended.at(0).at(0).toBool(), true);
    QByteArray stuffed = big;
    stuffed.replace("\r\n.", "\r\n..");
    QCOMPARE(received.size(), stuffed.size() + 3);
    QVERIFY(received == stuffed + ".\r\n");
}

QTEST_MAIN(DownloadTest)
#include "morrent_download.moc"
