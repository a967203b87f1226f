// TLS in the socket layer, both ends our own sockets over loopback: TLS from the first byte and an
// upgrade of an open connection, the bytes byte for byte both ways, and every certificate a
// client must refuse, with the reason an admin reads.
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <string>

#include "common/socketarray.h"
#include "common/tls.h"

using common::Socket;
using common::SocketArray;

namespace {

constexpr int kWait = 15000;

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 7 + i / 251) & 0xff);
    return s;
}

// Both ends: a listener that takes one client into element 1, and a client in element 1.
struct Pair {
    SocketArray server{QStringLiteral("server")};
    SocketArray client{QStringLiteral("client")};
    std::string serverGot, clientGot;
    QString clientError, serverError;
    bool clientConnected = false, serverEncrypted = false, clientEncrypted = false;
    bool serverEnded = false;
    std::function<void(Socket &)> onAccepted;

    Pair() {
        QObject::connect(&server, &SocketArray::ConnectionRequest, [this](int, qintptr id) {
            server.Load(1);
            server[1].Accept(id);
            if (onAccepted) onAccepted(server[1]);
        });
        QObject::connect(&server, &SocketArray::DataArrival,
                         [this](int i, qint64) { serverGot += server[i].GetData(); });
        QObject::connect(&client, &SocketArray::DataArrival,
                         [this](int i, qint64) { clientGot += client[i].GetData(); });
        QObject::connect(&client, &SocketArray::Connect, [this](int) { clientConnected = true; });
        QObject::connect(&server, &SocketArray::Encrypted, [this](int) { serverEncrypted = true; });
        QObject::connect(&client, &SocketArray::Encrypted, [this](int) { clientEncrypted = true; });
        QObject::connect(&server, &SocketArray::Close, [this](int) { serverEnded = true; });
        QObject::connect(&client, &SocketArray::Error,
                         [this](int, int, const QString &why) { clientError = why; });
        QObject::connect(&server, &SocketArray::Error,
                         [this](int, int, const QString &why) { serverError = why; });
        server[0].LocalIP = QStringLiteral("127.0.0.1");
        server[0].LocalPort = 0;
        server[0].Listen();
        client.Load(1);
        client[1].RemoteHost = QStringLiteral("127.0.0.1");
        client[1].RemotePort = server[0].LocalPort;
    }
};

}  // namespace

class TlsTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;

    QString file(const char *name) const { return dir_.filePath(QString::fromLatin1(name)); }

    Socket::TlsSettings serverSide(const char *cert) {
        auto identity = common::TlsServerContext::load(
            file((std::string(cert) + ".pem").c_str()).toStdString(),
            file((std::string(cert) + ".key").c_str()).toStdString());
        if (!identity) qFatal("%s", identity.why().c_str());
        Socket::TlsSettings s;
        s.server = true;
        s.identity = *identity;
        return s;
    }
    static Socket::TlsSettings clientSide(const std::string &host, const std::string &pin = {}) {
        Socket::TlsSettings s;
        s.check.host = host;
        s.check.fingerprint = pin;
        return s;
    }

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        const QString script =
            qEnvironmentVariable("TESSARUNO_SOURCE_DIR") + QStringLiteral("/tests/helpers/make-test-ca");
        QCOMPARE(QProcess::execute(script, {dir_.path()}), 0);
        // The client's trust store is the test authority alone.
        qputenv("SSL_CERT_FILE", QFile::encodeName(file("ca.pem")));
        qputenv("SSL_CERT_DIR", QFile::encodeName(dir_.filePath(QStringLiteral("none"))));
    }

    void tlsFromTheFirstByteCarriesBytesBothWays() {
        Pair p;
        p.onAccepted = [this](Socket &s) {
            QVERIFY(s.StartTls(serverSide("good")));
            // Queued until the handshake is done, then sent through TLS.
            s.SendData("+OK welcome\r\n");
        };
        p.client[1].tlsOnConnect = clientSide("localhost");
        p.client[1].Connect();
        QTRY_VERIFY_WITH_TIMEOUT(p.clientConnected, kWait);
        QVERIFY(p.client[1].encrypted());
        QVERIFY(p.client[1].tlsInfo().startsWith(QStringLiteral("TLSv1.")));
        QTRY_COMPARE_WITH_TIMEOUT(p.clientGot, std::string("+OK welcome\r\n"), kWait);
        const std::string big = pattern(3 << 20);
        QVERIFY(p.client[1].SendData(big));
        QTRY_COMPARE_WITH_TIMEOUT(p.serverGot.size(), big.size(), kWait);
        QVERIFY(p.serverGot == big);
        p.server[1].SendData(big);
        p.server[1].ShutdownSend();
        QTRY_COMPARE_WITH_TIMEOUT(p.clientGot.size(), big.size() + 13, kWait);
        QVERIFY(p.clientGot.substr(13) == big);
        p.client[1].ShutdownSend();
        QTRY_VERIFY_WITH_TIMEOUT(p.serverEnded, kWait);
    }

    void recordsThatCameWhileReadingWasPausedAllArriveInFewChunks() {
        // Many small records wait, taken in from the socket already, while the client does not
        // read. Resumed, every byte comes with nothing more from the peer to wake it: also when
        // each read ends right at a record's end. Without a read limit the records come as a
        // few chunks, not an event per record.
        Pair p;
        int arrivals = 0;
        QObject::connect(&p.client, &SocketArray::DataArrival, [&arrivals](int, qint64) { ++arrivals; });
        Socket *accepted = nullptr;
        p.onAccepted = [this, &accepted](Socket &s) {
            QVERIFY(s.StartTls(serverSide("good")));
            accepted = &s;
        };
        p.client[1].tlsOnConnect = clientSide("localhost");
        p.client[1].Connect();
        QTRY_VERIFY_WITH_TIMEOUT(p.clientConnected && accepted && p.serverEncrypted, kWait);
        for (const qint64 limit : {qint64(1000), qint64(0)}) {
            p.client[1].setReadPaused(true);
            p.client[1].setReadLimit(limit);
            std::string sent;
            for (int k = 0; k < 200; ++k) {
                const std::string record = pattern(250);
                accepted->SendData(record);  // each its own record
                sent += record;
                QCoreApplication::processEvents();
            }
            QTest::qWait(300);
            arrivals = 0;
            p.clientGot.clear();
            p.client[1].setReadPaused(false);
            QTRY_COMPARE_WITH_TIMEOUT(p.clientGot.size(), sent.size(), kWait);
            QVERIFY(p.clientGot == sent);
            if (limit == 0) QVERIFY2(arrivals < 40, std::to_string(arrivals).c_str());
        }
    }

    void theNextConnectionToTheSameNameResumesTheSession() {
        // The first one checks the chain and keeps the session the server gives; the second
        // offers it back. Another name never gets it.
        std::vector<QString> infos;
        const Socket::TlsSettings server = serverSide("good");  // one server, one ticket key
        for (const char *host : {"localhost", "localhost", "127.0.0.1"}) {
            Pair p;
            p.onAccepted = [&server](Socket &s) {
                QVERIFY(s.StartTls(server));
                s.SendData("+OK\r\n");
            };
            p.client[1].tlsOnConnect = clientSide(host);
            p.client[1].Connect();
            // TLS 1.3 sends its tickets after the handshake: read something first.
            QTRY_COMPARE_WITH_TIMEOUT(p.clientGot, std::string("+OK\r\n"), kWait);
            infos.push_back(p.client[1].tlsInfo());
        }
        QVERIFY2(!infos[0].endsWith(QStringLiteral(" resumed")), qPrintable(infos[0]));
        QVERIFY2(infos[1].endsWith(QStringLiteral(" resumed")), qPrintable(infos[1]));
        QVERIFY2(!infos[2].endsWith(QStringLiteral(" resumed")), qPrintable(infos[2]));
    }

    void upgradeDropsWhatCameInTheClear() {
        Pair p;
        p.client[1].Connect();
        QTRY_VERIFY_WITH_TIMEOUT(p.clientConnected && p.server.exists(1), kWait);
        p.client[1].SendData("STLS\r\n");
        QTRY_COMPARE_WITH_TIMEOUT(p.serverGot, std::string("STLS\r\n"), kWait);
        // The answer goes in the clear, then the handshake; a line that followed the answer in
        // the clear is not the server's to say and never reaches the client.
        p.server[1].SendData("+OK begin\r\nINJECTED\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(p.clientGot.size() >= 11, kWait);
        QCOMPARE(p.clientGot.substr(0, 11), std::string("+OK begin\r\n"));
        p.clientGot.clear();
        QVERIFY(p.server[1].StartTls(serverSide("good")));
        QVERIFY(p.client[1].StartTls(clientSide("127.0.0.1")));
        QTRY_VERIFY_WITH_TIMEOUT(p.clientEncrypted && p.serverEncrypted, kWait);
        p.server[1].SendData("secret answer\r\n");
        QTRY_COMPARE_WITH_TIMEOUT(p.clientGot, std::string("secret answer\r\n"), kWait);
    }

    void badCertificatesAreRefusedWithTheReason_data() {
        QTest::addColumn<QString>("cert");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("pin");
        QTest::addColumn<QString>("reason");
        QTest::newRow("expired") << "expired"
                                 << "localhost" << ""
                                 << "certificate for localhost has expired";
        QTest::newRow("other name") << "other"
                                    << "localhost" << ""
                                    << "certificate is for other.example, not localhost";
        QTest::newRow("self-signed")
            << "self"
            << "localhost" << ""
            << "certificate for localhost is self-signed, not issued by a trusted authority";
        QTest::newRow("wrong pin") << "self"
                                   << "localhost" << QString(64, u'a')
                                   << "certificate of localhost has the fingerprint ";
    }
    void badCertificatesAreRefusedWithTheReason() {
        QFETCH(QString, cert);
        QFETCH(QString, host);
        QFETCH(QString, pin);
        QFETCH(QString, reason);
        Pair p;
        const std::string c = cert.toStdString();
        p.onAccepted = [this, c](Socket &s) {
            s.StartTls(serverSide(c.c_str()));
            s.SendData("+OK\r\n");
        };
        p.client[1].tlsOnConnect = clientSide(host.toStdString(), pin.toStdString());
        p.client[1].Connect();
        QTRY_VERIFY_WITH_TIMEOUT(!p.clientError.isEmpty(), kWait);
        QVERIFY2(p.clientError.startsWith(reason), qPrintable(p.clientError));
        // The program never heard of a connection, and nothing was said over it.
        QVERIFY(!p.clientConnected);
        QCOMPARE(p.clientGot, std::string());
    }

    void aPinnedCertificateStandsForTheChain() {
        QFile pem(file("self.pem"));
        QVERIFY(pem.open(QIODevice::ReadOnly));
        QProcess fp;
        fp.start(QStringLiteral("openssl"),
                 {QStringLiteral("x509"), QStringLiteral("-noout"), QStringLiteral("-fingerprint"),
                  QStringLiteral("-sha256"), QStringLiteral("-in"), file("self.pem")});
        QVERIFY(fp.waitForFinished(kWait));
        // "sha256 Fingerprint=AB:CD:..." as openssl prints it, colons and all.
        const std::string pin = QString::fromLatin1(fp.readAllStandardOutput())
                                    .section('=', 1)
                                    .trimmed()
                                    .toStdString();
        QVERIFY(!common::normaliseFingerprint(pin).empty());
        Pair p;
        p.onAccepted = [this](Socket &s) {
            s.StartTls(serverSide("self"));
            s.SendData("+OK pinned\r\n");
        };
        p.client[1].tlsOnConnect = clientSide("localhost", pin);
        p.client[1].Connect();
        QTRY_COMPARE_WITH_TIMEOUT(p.clientGot, std::string("+OK pinned\r\n"), kWait);
    }

    void aClientSpeakingGarbageFailsTheServerSideOnly() {
        Pair p;
        p.onAccepted = [this](Socket &s) { s.StartTls(serverSide("good")); };
        p.client[1].Connect();
        QTRY_VERIFY_WITH_TIMEOUT(p.clientConnected, kWait);
        p.client[1].SendData("USER alice\r\nPASS secret\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(!p.serverError.isEmpty(), kWait);
        QCOMPARE(p.serverGot, std::string());
    }
};

QTEST_MAIN(TlsTest)
#include "common_tls.moc"
