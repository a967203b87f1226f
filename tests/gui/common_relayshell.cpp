// The relay shell over real loopback connections: the slot each new client is given. Both proxies
// show and log these numbers, so the rule is the shell's: the lowest free index, the table growing
// only when none is free.
#include <QTcpSocket>
#include <QtTest>
#include <algorithm>
#include <map>
#include <memory>

#include "common/relayshell.h"

namespace {

// Rules that keep every client waiting for its server side, which is never opened: a slot ends
// only when its client leaves.
class Waiting : public common::RelayRules {
public:
    Opening open(std::string_view) override { return {}; }
    Start connected() override { return {}; }
};

// The slots the shell reports.
class Slots : public common::RelayShell::Observer {
public:
    void accepted(int slot) override { last = slot; }
    int last = -1;
};

}  // namespace

class RelayShellTest : public QObject {
    Q_OBJECT

    std::unique_ptr<common::RelayShell> shell_;
    Slots slots_;
    std::map<int, std::unique_ptr<QTcpSocket>> clients_;  // by the slot each was given

    // A new client; the slot the shell gave it, or -1 when none.
    int connectClient() {
        slots_.last = -1;
        auto c = std::make_unique<QTcpSocket>();
        c->connectToHost(QHostAddress::LocalHost, quint16(shell_->clients()[0].LocalPort));
        if (!QTest::qWaitFor([&] { return slots_.last > 0; })) return -1;
        const int slot = slots_.last;
        clients_[slot] = std::move(c);
        return slot;
    }

    // The client in the slot goes; true once its slot is free.
    bool clientLeaves(int slot) {
        clients_.at(slot)->disconnectFromHost();
        return QTest::qWaitFor([&] { return !shell_->clients().exists(slot); });
    }

private slots:
    void init() {
        shell_ = std::make_unique<common::RelayShell>(
            QStringLiteral("clients"), QStringLiteral("servers"), 100,
            [](int, const QString &) { return std::make_unique<Waiting>(); });
        shell_->setObserver(&slots_);
        QString why;
        QVERIFY2(shell_->listen(QStringLiteral("127.0.0.1"), 0, &why), qPrintable(why));
    }
    void cleanup() {
        shell_.reset();
        clients_.clear();
    }

    void aNewClientTakesTheLowestFreeSlot_data() {
        QTest::addColumn<int>("open");          // clients in slots 1 to open
        QTest::addColumn<QList<int>>("leave");  // then these leave, in this order
        QTest::addColumn<QList<int>>("next");   // the slots of the clients that come next
        QTest::newRow("none free: the table grows") << 3 << QList<int>{} << QList<int>{4, 5};
        QTest::newRow("a gap in the middle") << 4 << QList<int>{2} << QList<int>{2, 5};
        QTest::newRow("gaps, lowest first, whatever order they came in")
            << 5 << QList<int>{4, 2} << QList<int>{2, 4, 6};
        QTest::newRow("only a high slot in use: slot one again")
            << 5 << QList<int>{1, 2, 3, 4} << QList<int>{1, 2};
        QTest::newRow("the top slot left") << 3 << QList<int>{3} << QList<int>{3, 4};
        QTest::newRow("all left") << 3 << QList<int>{2, 1, 3} << QList<int>{1, 2};
    }
    void aNewClientTakesTheLowestFreeSlot() {
        QFETCH(int, open);
        QFETCH(QList<int>, leave);
        QFETCH(QList<int>, next);
        for (int slot = 1; slot <= open; ++slot) QCOMPARE(connectClient(), slot);
        for (int slot : leave) QVERIFY(clientLeaves(slot));
        QCOMPARE(shell_->count(), open - int(leave.size()));
        for (int slot : next) {
            QCOMPARE(connectClient(), slot);
            QVERIFY(shell_->clients().exists(slot));
        }
        QCOMPARE(shell_->count(), open - int(leave.size()) + int(next.size()));
        // Nothing past the highest slot taken: the table grew only for clients that found no gap.
        int highest = 0;
        for (int slot = 1; slot <= open; ++slot)
            if (!leave.contains(slot)) highest = slot;
        for (int slot : next) highest = std::max(highest, slot);
        QCOMPARE(shell_->clients().UBound(), highest);
    }
};

QTEST_GUILESS_MAIN(RelayShellTest)
#include "common_relayshell.moc"
