// Socket arrays over real loopback connections: element lifecycle, connection events, sending,
// closing and half-closing, backpressure and descriptor hygiene.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QEventLoop>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/socketarray.h"

using common::Socket;
using common::SocketArray;

namespace {

constexpr int kWait = 10000;  // ms; loopback events take a few, a loaded machine more
constexpr int kLong = 30000;  // ms; for tens of megabytes

// Bytes whose position can be told from their value, so reordering or loss shows.
std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 7 + i / 251) & 0xff);
    return s;
}

// The far end as a plain OS socket, so a test can half-close, reset or stop reading at will.
struct RawPeer {
    int fd = -1;
    std::string in;
    bool eof = false;
    int err = 0;

    explicit RawPeer(int port) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(quint16(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // The kernel completes the handshake from the listen backlog; no event loop needed.
        if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) err = errno;
    }
    ~RawPeer() {
        if (fd >= 0) ::close(fd);
    }
    // Takes what has arrived, without blocking.
    void pump() {
        char buf[65536];
        for (;;) {
            ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                in.append(buf, size_t(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                if (n < 0) err = errno;
                eof = true;
            }
            return;
        }
    }
    bool gotEof() {
        pump();
        return eof;
    }
    const std::string &received() {
        pump();
        return in;
    }
    // Sends without blocking; returns what the kernel took.
    size_t send(std::string_view d) {
        ssize_t n = ::send(fd, d.data(), d.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        return n > 0 ? size_t(n) : 0;
    }
    void reset() {
        linger lg{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        ::close(fd);
        fd = -1;
    }
};

// R request (n = the element that accepted it, or -1), C connect, D data (n = bytesTotal),
// X close, E error (n = number), S send complete.
struct Ev {
    char kind;
    int index;
    qint64 n;
};

// An array that records its events; it can accept every request into the lowest free element and
// take every chunk as it arrives. hook runs inside the handler, after the recording.
struct Recorder {
    SocketArray arr;
    std::vector<Ev> events;
    std::map<int, std::string> in;
    QString lastError;
    bool autoAccept = true;
    bool autoRead = true;
    std::function<void(Ev)> hook;

    explicit Recorder(const char *name) : arr(QString::fromLatin1(name)) {
        QObject::connect(&arr, &SocketArray::ConnectionRequest, &arr, [this](int i, qintptr id) {
            int got = -1;
            if (autoAccept) {
                int k = 1;
                while (arr.exists(k)) ++k;
                arr.Load(k);
                if (arr[k].Accept(id)) got = k;
            }
            record('R', i, got);
        });
        QObject::connect(&arr, &SocketArray::Connect, &arr, [this](int i) { record('C', i, 0); });
        QObject::connect(&arr, &SocketArray::DataArrival, &arr, [this](int i, qint64 n) {
            if (autoRead) in[i] += arr[i].GetData();
            record('D', i, n);
        });
        QObject::connect(&arr, &SocketArray::Close, &arr, [this](int i) { record('X', i, 0); });
        QObject::connect(&arr, &SocketArray::Error, &arr,
                         [this](int i, int number, const QString &text) {
                             lastError = text;
                             record('E', i, number);
                         });
        QObject::connect(&arr, &SocketArray::SendComplete, &arr,
                         [this](int i) { record('S', i, 0); });
    }
    void record(char kind, int i, qint64 n) {
        events.push_back({kind, i, n});
        if (hook) hook(events.back());
    }
    int count(char kind, int index = -1) const {
        return int(std::count_if(events.begin(), events.end(), [&](const Ev &e) {
            return e.kind == kind && (index < 0 || e.index == index);
        }));
    }
    // The element that took the most recent request.
    int accepted() const {
        for (auto it = events.rbegin(); it != events.rend(); ++it)
            if (it->kind == 'R') return int(it->n);
        return -1;
    }
    int listen() {
        arr[0].LocalIP = QStringLiteral("127.0.0.1");
        arr[0].LocalPort = 0;
        return arr[0].Listen() ? arr[0].LocalPort : 0;
    }
};

void dial(SocketArray &a, int i, int port, const QString &host = QStringLiteral("127.0.0.1")) {
    if (!a.exists(i)) a.Load(i);
    a[i].RemoteHost = host;
    a[i].RemotePort = port;
    a[i].Connect();
}

// A port on which nothing listens.
int freePort() {
    SocketArray a(QStringLiteral("probe"));
    a[0].LocalIP = QStringLiteral("127.0.0.1");
    a[0].LocalPort = 0;
    return a[0].Listen() ? a[0].LocalPort : 1;
}

}  // namespace

class SocketArrayTest : public QObject {
    Q_OBJECT
private slots:
    // First, before other tests leave connections closing in the background.
    void descriptorCount();
    void descriptorsDoNotLeak();
    void elementTable();
    void destroyInsideOwnHandler_data();
    void destroyInsideOwnHandler();
    void destroyArrayInsideHandler();
    void listening();
    void requests();
    void connectFailures_data();
    void connectFailures();
    void connectByName();
    void closeEvents();
    void chunks_data();
    void chunks();
    void sendNeedsConnection();
    void halfCloseFromPeer();
    void shutdownSendAfterQueuedBytes();
    void twoPiecesGoOutInOrder();
    void queuedBytesAtClose_data();
    void queuedBytesAtClose();
    void backpressure_data();
    void backpressure();
    void pausedSocketWhosePeerResets();
    void connectFromInsideAHandler();
    void eventLoopInsideAHandler();
    void loopsOwnDescriptors();
};

void SocketArrayTest::elementTable() {
    SocketArray a(QStringLiteral("a"));
    QVERIFY(a.exists(0));
    QCOMPARE(a.UBound(), 0);
    QVERIFY(!a.exists(1) && !a.at(-1) && !a.at(100000));  // missing is an answer, not a failure
    QVERIFY(!a.Load(0));
    QVERIFY(a.Load(3) && a.Load(5));
    QVERIFY(!a.Load(5));
    QCOMPARE(a.UBound(), 5);
    QVERIFY(!a.exists(4));
    QCOMPARE(a.count(), 3);
    QCOMPARE(a[3].index(), 3);
    QCOMPARE(a[3].State(), 0);
    QVERIFY(!a.Unload(0));
    QVERIFY(!a.Unload(4));
    QVERIFY(a.Unload(5));
    QCOMPARE(a.UBound(), 3);  // the highest index follows the destroyed top element down
    QVERIFY(a.Load(5000) && a.Unload(5000));
    QCOMPARE(a.UBound(), 3);
    QVERIFY(a.Unload(3));
    QCOMPARE(a.UBound(), 0);
    QCOMPARE(a.count(), 1);
    QVERIFY(a.Load(3));  // a destroyed index can be created again
}

void SocketArrayTest::destroyInsideOwnHandler_data() {
    QTest::addColumn<char>("kind");
    QTest::newRow("connect") << 'C';
    QTest::newRow("data") << 'D';
    QTest::newRow("close") << 'X';
    QTest::newRow("error") << 'E';
}

// A handler destroys its own element and creates it again at once, and another one next to it:
// the index is free, the new elements are closed and fresh, and nothing of the old connection
// reaches either of them.
void SocketArrayTest::destroyInsideOwnHandler() {
    QFETCH(char, kind);
    Recorder srv("srv"), cli("cli");
    int port = kind == 'E' ? freePort() : srv.listen();
    bool unloaded = false, reloaded = false;
    cli.hook = [&](Ev e) {
        if (e.kind != kind || e.index != 1 || unloaded) return;
        unloaded = cli.arr.Unload(1);
        reloaded = cli.arr.Load(2) && cli.arr.Load(1);
    };
    dial(cli.arr, 1, port);
    if (kind == 'D' || kind == 'X') {
        QTRY_VERIFY_WITH_TIMEOUT(srv.accepted() > 0 && cli.count('C') == 1, kWait);
        int s = srv.accepted();
        QVERIFY(srv.arr[s].SendData("hello"));
        if (kind == 'X') srv.arr[s].Close();
    }
    QTRY_VERIFY_WITH_TIMEOUT(unloaded, kWait);
    QVERIFY(reloaded);
    QCOMPARE(cli.arr[1].State(), 0);
    QCOMPARE(cli.arr[2].State(), 0);
    const size_t seen = cli.events.size();
    if (kind == 'C' || kind == 'D') {
        // The destroyed element's connection was closed; its peer sees the end.
        QTRY_VERIFY_WITH_TIMEOUT(srv.accepted() > 0, kWait);
        int s = srv.accepted();
        QTRY_COMPARE_WITH_TIMEOUT(srv.count('X', s), 1, kWait);
        srv.arr[s].SendData("late");
        srv.arr[s].Close();
    }
    QTest::qWait(100);
    QCOMPARE(cli.events.size(), seen);
    // The new element works like any other.
    if (srv.arr[0].State() == 0) port = srv.listen();
    dial(cli.arr, 1, port);
    QTRY_COMPARE_WITH_TIMEOUT(cli.count('C', 1), kind == 'E' ? 1 : 2, kWait);
}

void SocketArrayTest::destroyArrayInsideHandler() {
    Recorder srv("srv");
    const int port = srv.listen();
    auto cli = std::make_unique<SocketArray>(QStringLiteral("cli"));
    for (int i = 1; i <= 3; ++i) dial(*cli, i, port);
    QTRY_COMPARE_WITH_TIMEOUT(srv.count('R'), 3, kWait);
    QObject::connect(cli.get(), &SocketArray::DataArrival, cli.get(), [&](int, qint64) {
        cli.reset();  // the window holding the array goes away from inside its event
    });
    QVERIFY(srv.arr[srv.accepted()].SendData("bye"));
    QTRY_VERIFY_WITH_TIMEOUT(!cli, kWait);
    // Every connection of the array ends with it.
    QTRY_COMPARE_WITH_TIMEOUT(srv.count('X'), 3, kWait);
}

void SocketArrayTest::listening() {
    SocketArray a(QStringLiteral("a")), b(QStringLiteral("b"));
    QString why;
    a[0].LocalIP = b[0].LocalIP = QStringLiteral("127.0.0.1");
    a[0].LocalPort = 0;
    QVERIFY(a[0].Listen(&why));
    QVERIFY(a[0].LocalPort > 0);  // the port the system chose
    QCOMPARE(a[0].State(), int(Socket::sckListening));

    b[0].LocalPort = a[0].LocalPort;
    QVERIFY(!b[0].Listen(&why));
    QVERIFY2(why.contains(QLatin1String("in use")), qPrintable(why));
    QCOMPARE(b[0].State(), 0);
    for (int port : {-1, 65536}) {
        why.clear();
        b[0].LocalPort = port;
        QVERIFY(!b[0].Listen(&why));
        QVERIFY(!why.isEmpty());
    }
    b[0].LocalIP = QStringLiteral("not an address");
    b[0].LocalPort = 0;
    QVERIFY(!b[0].Listen(&why));
    QVERIFY(!why.isEmpty());

    // Once the owner lets go, the port can be opened again.
    a[0].Close();
    b[0].LocalIP = QStringLiteral("127.0.0.1");
    b[0].LocalPort = a[0].LocalPort;
    QVERIFY2(b[0].Listen(&why), qPrintable(why));
}

void SocketArrayTest::requests() {
    Recorder srv("srv");
    const int port = srv.listen();
    QString ipDuringRequest = QStringLiteral("unset"), hostDuringRequest = QStringLiteral("unset");
    bool greeted = false;
    srv.hook = [&](Ev e) {
        if (e.kind != 'R' || e.n < 1) return;
        ipDuringRequest = srv.arr[0].RemoteHostIP();
        hostDuringRequest = srv.arr[0].RemoteHost;
        greeted = srv.arr[int(e.n)].SendData("+OK\r\n");  // an accepted element can send at once
    };
    RawPeer c(port);
    QTRY_VERIFY_WITH_TIMEOUT(greeted, kWait);
    QCOMPARE(ipDuringRequest, QStringLiteral("127.0.0.1"));
    QCOMPARE(hostDuringRequest, QString());
    QTRY_COMPARE_WITH_TIMEOUT(c.received(), std::string("+OK\r\n"), kWait);
    QCOMPARE(srv.arr[srv.accepted()].RemoteHostIP(), QStringLiteral("127.0.0.1"));

    // A request that no handler accepts is closed, not left hanging.
    srv.autoAccept = false;
    RawPeer d(port);
    QTRY_VERIFY_WITH_TIMEOUT(d.gotEof(), kWait);
    QCOMPARE(srv.count('R'), 2);
    QCOMPARE(srv.arr.UBound(), 1);

    // Only the request being offered can be accepted: any other number must not let an element
    // take over (and later close) a descriptor that belongs to someone else.
    int pipeFds[2];
    QCOMPARE(::pipe(pipeFds), 0);
    bool accepted = false;
    {
        SocketArray other(QStringLiteral("other"));
        other.Load(1);
        accepted = other[1].Accept(pipeFds[0]);
    }
    QTest::qWait(50);
    const bool stillOpen = ::fcntl(pipeFds[0], F_GETFD) != -1;
    if (stillOpen) ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    QVERIFY(!accepted);
    QVERIFY(stillOpen);
}

void SocketArrayTest::connectFailures_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("refused") << QStringLiteral("127.0.0.1") << freePort();
    QTest::newRow("port 0") << QStringLiteral("127.0.0.1") << 0;
    QTest::newRow("port too high") << QStringLiteral("127.0.0.1") << 70000;
    QTest::newRow("no host") << QString() << 80;
    // Names that cannot be host names are refused before any lookup leaves the machine.
    QTest::newRow("blank in name") << QStringLiteral("bad name") << 80;
    QTest::newRow("control byte in name") << QStringLiteral("mail\x1b[2J.example") << 80;
    QTest::newRow("empty label") << QStringLiteral("a..invalid") << 80;
}

void SocketArrayTest::connectFailures() {
    QFETCH(QString, host);
    QFETCH(int, port);
    Recorder cli("cli");
    dial(cli.arr, 1, port, host);
    QVERIFY(cli.events.empty());  // the outcome is an event, never part of the call
    QTRY_COMPARE_WITH_TIMEOUT(cli.count('E', 1), 1, kWait);
    QVERIFY(!cli.lastError.isEmpty());
    QTest::qWait(50);
    QCOMPARE(cli.events.size(), size_t(1));
    QVERIFY(cli.arr[1].State() != Socket::sckConnected);
}

void SocketArrayTest::connectByName() {
    Recorder srv("srv"), cli("cli");
    const int port = srv.listen();
    dial(cli.arr, 1, port, QStringLiteral("localhost"));
    QCOMPARE(cli.arr[1].State(), int(Socket::sckResolvingHost));  // the lookup runs aside
    QVERIFY(cli.events.empty());
    QTRY_COMPARE_WITH_TIMEOUT(cli.count('C', 1), 1, kWait);
    QCOMPARE(cli.arr[1].RemoteHostIP(), QStringLiteral("127.0.0.1"));
    QVERIFY(cli.arr[1].SendData("ping"));
    QTRY_COMPARE_WITH_TIMEOUT(srv.in[srv.accepted()], std::string("ping"), kWait);

    // A lookup given up by Close must not answer the element's next Connect, even when its
    // answer is already on its way.
    dial(cli.arr, 2, port, QStringLiteral("bad name"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // its answer gets posted
    cli.arr[2].Close();
    dial(cli.arr, 2, port, QStringLiteral("localhost"));
    QTRY_COMPARE_WITH_TIMEOUT(cli.count('C', 2) + cli.count('E', 2), 1, kWait);
    QCOMPARE(cli.count('C', 2), 1);
}

void SocketArrayTest::closeEvents() {
    Recorder srv("srv"), cli("cli");
    const int port = srv.listen();

    // Our own Close raises nothing on our side; the peer gets its Close.
    dial(cli.arr, 1, port);
    QTRY_VERIFY_WITH_TIMEOUT(cli.count('C') == 1 && srv.accepted() > 0, kWait);
    const int s1 = srv.accepted();
    cli.arr[1].Close();
    cli.arr[1].Close();  // harmless
    QCOMPARE(cli.arr[1].State(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(srv.count('X', s1), 1, kWait);
    QVERIFY(srv.arr[s1].SendData("to the closed side"));
    srv.arr[s1].Close();

    // The element is reused at once: nothing of its first connection reaches it, and the peer's
    // close of the second raises Close exactly once.
    dial(cli.arr, 1, port);
    QTRY_VERIFY_WITH_TIMEOUT(cli.count('C') == 2 && srv.accepted() != s1, kWait);
    const int s2 = srv.accepted();
    srv.arr[s2].Close();
    QTRY_COMPARE_WITH_TIMEOUT(cli.count('X', 1), 1, kWait);
    QTest::qWait(100);
    QCOMPARE(cli.count('X'), 1);
    QCOMPARE(cli.count('D') + cli.count('E'), 0);
    QCOMPARE(srv.count('X', s2) + srv.count('E', s2), 0);
    cli.arr[1].Close();

    // A peer that resets the connection ends it with one event.
    RawPeer r(port);
    QTRY_VERIFY_WITH_TIMEOUT(srv.count('R') == 3, kWait);
    const int s3 = srv.accepted();
    r.reset();
    QTRY_COMPARE_WITH_TIMEOUT(srv.count('X', s3) + srv.count('E', s3), 1, kWait);
    QTest::qWait(100);
    QCOMPARE(srv.count('X', s3) + srv.count('E', s3), 1);

    QVERIFY(cli.arr.Load(7));
    cli.arr[7].Close();  // never opened: harmless too
    QCOMPARE(cli.arr[7].State(), 0);
}

void SocketArrayTest::chunks_data() {
    QTest::addColumn<bool>("leaveSome");
    QTest::newRow("every chunk taken") << false;
    QTest::newRow("every other chunk left for the next event") << true;
}

// Each event's bytesTotal is what GetData then takes, all of it; bytes left unread are part of
// the next event's chunk; nothing is lost or reordered.
void SocketArrayTest::chunks() {
    QFETCH(bool, leaveSome);
    Recorder srv("srv");
    srv.autoRead = false;
    const int port = srv.listen();
    std::string got;
    int events = 0;
    QStringList faults;
    srv.hook = [&](Ev e) {
        if (e.kind != 'D') return;
        Socket &s = srv.arr[e.index];
        if (s.bytesPending() != e.n) faults << QStringLiteral("pending != bytesTotal");
        if (leaveSome && events++ % 2 == 0) return;
        std::string chunk;
        s.GetData(chunk);
        if (qint64(chunk.size()) != e.n) faults << QStringLiteral("GetData != bytesTotal");
        if (s.bytesPending() != 0) faults << QStringLiteral("GetData left bytes");
        got += chunk;
    };
    RawPeer c(port);
    QTRY_VERIFY_WITH_TIMEOUT(srv.accepted() > 0, kWait);
    Socket &s = srv.arr[srv.accepted()];
    const std::string data = pattern(1 << 20);
    size_t off = 0;
    // Small writes with the event loop in between, so that many chunks arrive.
    for (int round = 0; round < 100000 && off < data.size(); ++round) {
        off += c.send(std::string_view(data).substr(off, 4096));
        QCoreApplication::processEvents();
    }
    QCOMPARE(off, data.size());
    QTRY_COMPARE_WITH_TIMEOUT(got.size() + size_t(s.bytesPending()), data.size(), kWait);
    got += s.GetData();  // outside a handler too
    QVERIFY(faults.isEmpty());
    QVERIFY(srv.count('D') > 2);
    QVERIFY(got == data);
}

void SocketArrayTest::sendNeedsConnection() {
    Recorder srv("srv"), cli("cli");
    const int port = srv.listen();
    QVERIFY(cli.arr.Load(1));
    QVERIFY(!cli.arr[1].SendData("never opened"));
    dial(cli.arr, 1, port);
    QVERIFY(!cli.arr[1].SendData("while connecting"));
    dial(cli.arr, 2, port, QStringLiteral("localhost"));
    QVERIFY(!cli.arr[2].SendData("while resolving"));
    QCOMPARE(cli.arr[1].unsent() + cli.arr[2].unsent(), qint64(0));
    QTRY_COMPARE_WITH_TIMEOUT(cli.count('C'), 2, kWait);
    QVERIFY(cli.arr[1].SendData("late"));
    QVERIFY(cli.arr[2].SendData("late"));
    // Nothing from before the connection was queued: each server element sees exactly "late".
    QTRY_VERIFY_WITH_TIMEOUT(srv.in.size() == 2 && srv.in.begin()->second.size() == 4 &&
                                 srv.in.rbegin()->second.size() == 4,
                             kWait);
    for (const auto &[i, text] : srv.in) QCOMPARE(text, std::string("late"));

    cli.arr[1].Close();
    QVERIFY(!cli.arr[1].SendData("after close"));
    dial(cli.arr, 3, freePort());
    QTRY_COMPARE_WITH_TIMEOUT(cli.count('E', 3), 1, kWait);
    QVERIFY(!cli.arr[3].SendData("after error"));
    QCOMPARE(cli.arr[3].unsent(), qint64(0));
}

// The peer ends its sending side: its last bytes, then Close; our answer still reaches it.
void SocketArrayTest::halfCloseFromPeer() {
    Recorder srv("srv");
    const int port = srv.listen();
    bool replied = false;
    srv.hook = [&](Ev e) {
        if (e.kind != 'X') return;
        replied = srv.arr[e.index].SendData("reply to " + srv.in[e.index]);
        srv.arr[e.index].Close();
    };
    RawPeer c(port);
    QCOMPARE(c.send("request"), size_t(7));
    ::shutdown(c.fd, SHUT_WR);
    QTRY_VERIFY_WITH_TIMEOUT(c.gotEof(), kWait);
    QVERIFY(replied);
    QCOMPARE(c.in, std::string("reply to request"));
    QCOMPARE(c.err, 0);
    QCOMPARE(srv.events.back().kind, 'X');  // after the data
}

// Our end-of-stream follows every queued byte, and our side keeps reading.
void SocketArrayTest::shutdownSendAfterQueuedBytes() {
    Recorder srv("srv");
    const int port = srv.listen();
    RawPeer c(port);
    QTRY_VERIFY_WITH_TIMEOUT(srv.accepted() > 0, kWait);
    const int i = srv.accepted();
    Socket &s = srv.arr[i];
    const std::string data = pattern(32 << 20);
    QVERIFY(s.SendData(data));
    QVERIFY(s.unsent() > 0);  // more than the kernel takes at once: the rest waits in our queue
    s.ShutdownSend();
    QVERIFY(!s.SendData("after the end"));
    QCOMPARE(c.send("still listening?"), size_t(16));
    QTRY_COMPARE_WITH_TIMEOUT(srv.in[i], std::string("still listening?"), kWait);
    QTRY_VERIFY_WITH_TIMEOUT(c.gotEof(), kLong);
    QCOMPARE(c.err, 0);
    QCOMPARE(c.in.size(), data.size());
    QVERIFY(c.in == data);
    QTRY_VERIFY_WITH_TIMEOUT(srv.count('S', i) > 0, kWait);
    QCOMPARE(srv.count('X') + srv.count('E'), 0);
}

// Two pieces handed over in one call arrive in order, whether the kernel stops inside the first
// or inside the second, and pieces given while some wait queue behind them.
void SocketArrayTest::twoPiecesGoOutInOrder() {
    const std::string big = pattern(24 << 20);
    for (bool bigFirst : {true, false}) {
        Recorder srv("srv");
        const int port = srv.listen();
        RawPeer c(port);
        QTRY_VERIFY_WITH_TIMEOUT(srv.accepted() > 0, kWait);
        Socket &s = srv.arr[srv.accepted()];
        const std::string head = "HTTP/1.1 200 OK\r\n\r\n";
        const std::string first = bigFirst ? big : head, second = bigFirst ? head : big;
        QVERIFY(s.SendData(first, second));
        QVERIFY(s.unsent() > 0);
        QVERIFY(s.SendData("and", " more"));
        QVERIFY(s.SendData({}, "!"));
        s.ShutdownSend();
        QTRY_VERIFY_WITH_TIMEOUT(c.gotEof(), kLong);
        QCOMPARE(c.err, 0);
        const std::string want = first + second + "and more!";
        QCOMPARE(c.in.size(), want.size());
        QVERIFY(c.in == want);
    }
}

void SocketArrayTest::queuedBytesAtClose_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("Close") << QStringLiteral("close");
    QTest::newRow("destroy") << QStringLiteral("unload");
    QTest::newRow("Abort drops them") << QStringLiteral("abort");
}

void SocketArrayTest::queuedBytesAtClose() {
    QFETCH(QString, how);
    Recorder srv("srv");
    const int port = srv.listen();
    RawPeer c(port);
    QTRY_VERIFY_WITH_TIMEOUT(srv.accepted() > 0, kWait);
    const int i = srv.accepted();
    const std::string data = pattern(32 << 20);
    QVERIFY(srv.arr[i].SendData(data));
    QVERIFY(srv.arr[i].unsent() > 0);
    if (how == QLatin1String("close"))
        srv.arr[i].Close();
    else if (how == QLatin1String("unload"))
        QVERIFY(srv.arr.Unload(i));
    else
        srv.arr[i].Abort();
    if (srv.arr.exists(i)) QCOMPARE(srv.arr[i].State(), 0);
    const size_t seen = srv.events.size();
    QTRY_VERIFY_WITH_TIMEOUT(c.gotEof(), kLong);
    if (how == QLatin1String("abort")) {
        QVERIFY(c.in.size() < data.size());
    } else {
        QCOMPARE(c.err, 0);
        QCOMPARE(c.in.size(), data.size());
        QVERIFY(c.in == data);
    }
    QCOMPARE(srv.events.size(), seen);  // the closed element hears nothing more
}

void SocketArrayTest::backpressure_data() {
    QTest::addColumn<bool>("paused");
    QTest::newRow("handler leaves the data unread") << false;
    QTest::newRow("reading paused") << true;
}

// A socket whose data is not taken stops reading at a bound, so the kernel holds the sender back
// instead of our memory growing; once the data is taken, every byte arrives in order.
void SocketArrayTest::backpressure() {
    QFETCH(bool, paused);
    Recorder srv("srv");
    srv.autoRead = false;
    const int port = srv.listen();
    RawPeer c(port);
    QTRY_VERIFY_WITH_TIMEOUT(srv.accepted() > 0, kWait);
    const int i = srv.accepted();
    Socket &s = srv.arr[i];
    if (paused) s.setReadPaused(true);
    const std::string data = pattern(64 << 20);
    const std::string_view rest(data);
    size_t off = 0;
    qint64 most = 0;
    int idle = 0;
    for (int round = 0; round < 4000 && off < data.size() && idle < 40; ++round) {
        size_t n = c.send(rest.substr(off, 1 << 20));
        off += n;
        idle = n ? 0 : idle + 1;
        QTest::qWait(5);
        most = std::max(most, s.bytesPending());
    }
    QVERIFY2(off < data.size(), "the sender was never held back");
    QVERIFY2(most <= (8 << 20), qPrintable(QString::number(most)));
    if (paused) {
        QCOMPARE(srv.count('D'), 0);
        s.setReadPaused(false);
    }
    std::string got;
    for (int round = 0; round < 200000 && got.size() < data.size(); ++round) {
        off += c.send(rest.substr(off, 1 << 20));
        QTest::qWait(1);
        got += s.GetData();
    }
    QCOMPARE(got.size(), data.size());
    QVERIFY(got == data);
}

// The kernel tells of a reset even to a socket that waits for nothing: a paused one must not spin
// the event loop on it, and hears of the reset once it reads again.
void SocketArrayTest::pausedSocketWhosePeerResets() {
    Recorder srv("srv");
    const int port = srv.listen();
    auto c = std::make_unique<RawPeer>(port);
    QTRY_VERIFY_WITH_TIMEOUT(srv.accepted() > 0, kWait);
    const int i = srv.accepted();
    srv.arr[i].setReadPaused(true);
    c->send("unread");
    c->reset();
    auto cpu = [] {
        timespec t{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
    };
    const double before = cpu();
    QTest::qWait(400);
    const double used = cpu() - before;
    QVERIFY2(used < 0.2, qPrintable(QStringLiteral("%1 s of CPU while waiting").arg(used)));
    QCOMPARE(srv.count('E', i) + srv.count('X', i), 0);
    srv.arr[i].setReadPaused(false);
    QTRY_VERIFY_WITH_TIMEOUT(srv.count('E', i) + srv.count('X', i) == 1, kWait);
}

// A relay dials its server from inside the client's event: the connection (to this machine,
// established before the dial returns) is told after that handler, never inside it, and carries.
void SocketArrayTest::connectFromInsideAHandler() {
    Recorder far("far");
    const int farPort = far.listen();
    Recorder srv("srv");
    Recorder out("out");
    const int port = srv.listen();
    bool inHandler = false;
    bool toldInside = false;
    srv.hook = [&](Ev e) {
        if (e.kind != 'D' || out.arr.exists(1)) return;
        inHandler = true;
        dial(out.arr, 1, farPort);
        inHandler = false;
    };
    out.hook = [&](Ev e) {
        if (e.kind != 'C') return;
        toldInside = inHandler;
        out.arr[1].SendData("through");
    };
    RawPeer c(port);
    c.send("go");
    QTRY_VERIFY_WITH_TIMEOUT(out.count('C', 1) == 1, kWait);
    QVERIFY(!toldInside);
    QTRY_COMPARE_WITH_TIMEOUT(far.in[far.accepted()], std::string("through"), kWait);
}

// A handler that runs an event loop of its own (a dialog): the other sockets' events are handled
// inside it, and afterwards every socket still hears of what comes.
void SocketArrayTest::eventLoopInsideAHandler() {
    Recorder srv("srv");
    const int port = srv.listen();
    RawPeer a(port);
    QTRY_VERIFY_WITH_TIMEOUT(srv.accepted() > 0, kWait);
    const int first = srv.accepted();
    RawPeer b(port);
    QTRY_VERIFY_WITH_TIMEOUT(srv.accepted() != first, kWait);
    const int second = srv.accepted();
    bool nested = false;
    srv.hook = [&](Ev e) {
        if (e.kind != 'D' || e.index != first || nested) return;
        nested = true;
        b.send("inside");
        QEventLoop loop;
        QTimer::singleShot(300, &loop, &QEventLoop::quit);
        loop.exec();
    };
    a.send("one");
    QTRY_COMPARE_WITH_TIMEOUT(srv.in[second], std::string("inside"), kWait);
    a.send(" two");
    b.send(" more");
    QTRY_COMPARE_WITH_TIMEOUT(srv.in[first], std::string("one two"), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(srv.in[second], std::string("inside more"), kWait);
}

// What else wakes the loop: a descriptor of Qt's own (a pipe, and a file, which is always ready),
// a notifier that goes, a timer and a posted call, among sockets in use.
void SocketArrayTest::loopsOwnDescriptors() {
    Recorder srv("srv");
    RawPeer peer(srv.listen());
    QTRY_VERIFY_WITH_TIMEOUT(srv.accepted() > 0, kWait);
    int pipeEnds[2];
    QVERIFY(::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) == 0);
    int fromPipe = 0;
    auto pipeNotifier = std::make_unique<QSocketNotifier>(pipeEnds[0], QSocketNotifier::Read);
    QObject::connect(pipeNotifier.get(), &QSocketNotifier::activated, [&] {
        char c;
        while (::read(pipeEnds[0], &c, 1) == 1) ++fromPipe;
    });
    QVERIFY(::write(pipeEnds[1], "ab", 2) == 2);
    peer.send("data");
    QTRY_COMPARE_WITH_TIMEOUT(fromPipe, 2, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(srv.in[srv.accepted()], std::string("data"), kWait);

    const int file = ::open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    QVERIFY(file >= 0);
    int fromFile = 0;
    auto fileNotifier = std::make_unique<QSocketNotifier>(file, QSocketNotifier::Read);
    QObject::connect(fileNotifier.get(), &QSocketNotifier::activated, [&] {
        if (++fromFile == 3) fileNotifier->setEnabled(false);
    });
    QTRY_COMPARE_WITH_TIMEOUT(fromFile, 3, kWait);
    bool timer = false, posted = false;
    QTimer::singleShot(20, [&] { timer = true; });
    QMetaObject::invokeMethod(&srv.arr, [&] { posted = true; }, Qt::QueuedConnection);
    QTRY_VERIFY_WITH_TIMEOUT(timer && posted, kWait);
    QCOMPARE(fromFile, 3);

    pipeNotifier.reset();  // gone while its descriptor stays open and readable
    QVERIFY(::write(pipeEnds[1], "c", 1) == 1);
    peer.send(" more");
    QTRY_COMPARE_WITH_TIMEOUT(srv.in[srv.accepted()], std::string("data more"), kWait);
    QCOMPARE(fromPipe, 2);
    fileNotifier.reset();
    for (int fd : {pipeEnds[0], pipeEnds[1], file}) ::close(fd);
}

// The leak checks rest on this count: every open descriptor, directories included.
void SocketArrayTest::descriptorCount() {
    auto listed = [] {
        int n = 0;
        DIR *d = ::opendir("/proc/self/fd");
        while (dirent *e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
        return n - 1;  // not the one just used to list them
    };
    QCOMPARE(common::openDescriptorCount(), listed());
    const int before = common::openDescriptorCount();
    const int dir = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    QVERIFY(dir >= 0);
    const int during = common::openDescriptorCount();
    ::close(dir);
    QCOMPARE(during, before + 1);
}

// 2000 connections, ended in every way there is, leave no descriptor behind.
void SocketArrayTest::descriptorsDoNotLeak() {
    Recorder srv("srv"), cli("cli");
    const int port = srv.listen();
    QTest::qWait(100);  // closes still in flight from before finish first
    const int before = common::openDescriptorCount();
    QVERIFY(before > 0);
    int mode = 0;
    cli.hook = [&](Ev e) {
        if (e.kind == 'C') cli.arr[e.index].SendData("ping");
        if (e.kind == 'X' || e.kind == 'E') cli.arr.Unload(e.index);
    };
    srv.hook = [&](Ev e) {
        if (e.kind == 'X' || e.kind == 'E') srv.arr.Unload(e.index);
    };
    constexpr int kBatch = 50;
    for (int round = 0; round < 2000 / kBatch; ++round) {
        mode = round % 4;
        cli.events.clear();
        srv.events.clear();
        for (int i = 1; i <= kBatch; ++i) dial(cli.arr, i, port);
        QTRY_VERIFY_WITH_TIMEOUT(cli.count('C') == kBatch && srv.count('R') == kBatch, kWait);
        for (int i = 1; i <= kBatch; ++i) {
            if (mode == 0) {
                cli.arr.Unload(i);  // client first; the server ends on its Close
            } else if (mode == 1) {
                srv.arr.Unload(i);  // server first
            } else if (mode == 2) {
                cli.arr.Unload(i);  // both at once
                srv.arr.Unload(i);
            } else {
                cli.arr[i].Abort();  // a reset
                cli.arr.Unload(i);
            }
        }
        QTRY_VERIFY_WITH_TIMEOUT(srv.arr.count() == 1 && cli.arr.count() == 1, kWait);
    }
    QTRY_COMPARE_WITH_TIMEOUT(common::openDescriptorCount(), before, kLong);
}

// Run with --own-loop, the tests use the event loop that waits in the sockets' own set.
int main(int argc, char **argv) {
    std::vector<char *> args(argv, argv + argc);
    if (auto own = std::find_if(args.begin(), args.end(),
                                [](const char *a) { return std::string_view(a) == "--own-loop"; });
        own != args.end()) {
        args.erase(own);
        common::useLoopDispatcher();
    }
    int count = int(args.size());
    args.push_back(nullptr);
    QCoreApplication app(count, args.data());
    SocketArrayTest test;
    return QTest::qExec(&test, count, args.data());
}
#include "common_socketarray.moc"
