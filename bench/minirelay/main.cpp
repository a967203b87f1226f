// A bare relay on the common socket array: what the relay benchmark measures as the floor of our own
// cost, before any program logic. Usage: minirelay --listen PORT --to HOST:PORT [--bind ADDR]
#include "common/socketarray.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <string>
#include <vector>

using common::Socket;
using common::SocketArray;

namespace {

struct Slot {
    std::string held;  // client bytes that came before the upstream connected
    bool clientDone = false;
    bool upstreamDone = false;
};

class Relay {
public:
    Relay(QString host, int port) : host_(std::move(host)), port_(port) {
        QObject::connect(&in_, &SocketArray::ConnectionRequest, [this](int, qintptr id) { accept(id); });
        QObject::connect(&in_, &SocketArray::DataArrival, [this](int i, qint64) { fromClient(i); });
        QObject::connect(&out_, &SocketArray::Connect, [this](int i) { connected(i); });
        QObject::connect(&out_, &SocketArray::DataArrival, [this](int i, qint64) { pass(out_, in_, i); });
        QObject::connect(&in_, &SocketArray::SendComplete, [this](int i) { resume(out_, i); });
        QObject::connect(&out_, &SocketArray::SendComplete, [this](int i) { resume(in_, i); });
        QObject::connect(&in_, &SocketArray::Close, [this](int i) { ended(i, true); });
        QObject::connect(&out_, &SocketArray::Close, [this](int i) { ended(i, false); });
        QObject::connect(&in_, &SocketArray::Error, [this](int i, int, const QString &) { release(i); });
        QObject::connect(&out_, &SocketArray::Error, [this](int i, int, const QString &) { release(i); });
    }
    bool listen(const QString &bind, int port) {
        in_[0].LocalIP = bind;
        in_[0].LocalPort = port;
        QString why;
        if (!in_[0].Listen(&why)) {
            std::fprintf(stderr, "minirelay: cannot listen on port %d: %s\n", port, qPrintable(why));
            return false;
        }
        return true;
    }

private:
    void accept(qintptr id) {
        int i = 1;
        while (in_.exists(i)) ++i;
        in_.Load(i);
        in_[i].Accept(id);
        if (slots_.size() <= size_t(i)) slots_.resize(size_t(i) + 1);
        slots_[size_t(i)] = Slot{};
        out_.Unload(i);
        out_.Load(i);
        out_[i].RemoteHost = host_;
        out_[i].RemotePort = port_;
        out_[i].Connect();
    }
    void fromClient(int i) {
        if (out_.exists(i) && out_[i].State() == Socket::sckConnected) {
            pass(in_, out_, i);
            return;
        }
        Slot &s = slots_[size_t(i)];
        std::string_view d = in_[i].peekData();
        s.held.append(d);
        in_[i].consumeData();
        if (s.held.size() > 256 * 1024) in_[i].setReadPaused(true);
    }
    void connected(int i) {
        Slot &s = slots_[size_t(i)];
        if (!s.held.empty()) out_[i].SendData(s.held);
        std::string().swap(s.held);
        if (out_[i].unsent() == 0) in_[i].setReadPaused(false);
        if (s.clientDone) out_[i].ShutdownSend();
    }
    // One chunk from a to b; a waits while b cannot take more.
    void pass(SocketArray &a, SocketArray &b, int i) {
        if (!b.exists(i)) return;
        b[i].SendData(a[i].peekData());
        a[i].consumeData();
        limit(a[i], b[i]);
    }
    // a reads no more than b can take at once; with no room, a waits until b has some.
    void limit(Socket &a, Socket &b) {
        const qint64 room = b.unsent() > 0 ? 0 : b.sendRoom();
        if (room < 16 * 1024) {
            a.setReadPaused(true);
            b.watchWritable();
            return;
        }
        a.setReadLimit(room);
    }
    void resume(SocketArray &a, int i) {
        SocketArray &b = &a == &in_ ? out_ : in_;
        if (!a.exists(i)) return;
        a[i].setReadPaused(false);
        if (b.exists(i)) a[i].setReadLimit(b[i].sendRoom());
    }
    void ended(int i, bool client) {
        Slot &s = slots_[size_t(i)];
        (client ? s.clientDone : s.upstreamDone) = true;
        SocketArray &partner = client ? out_ : in_;
        if (partner.exists(i) && partner[i].State() != Socket::sckConnecting) partner[i].ShutdownSend();
        if (s.clientDone && s.upstreamDone) release(i);
    }
    void release(int i) {
        in_.Unload(i);
        out_.Unload(i);
    }

    SocketArray in_{QStringLiteral("intern")};
    SocketArray out_{QStringLiteral("extern")};
    std::vector<Slot> slots_;
    QString host_;
    int port_;
};

}  // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QStringList a = app.arguments();
    int listenPort = -1;
    QString to, bind = QStringLiteral("127.0.0.1");
    for (int k = 1; k + 1 < a.size(); k += 2) {
        if (a[k] == "--listen") listenPort = a[k + 1].toInt();
        else if (a[k] == "--to") to = a[k + 1];
        else if (a[k] == "--bind") bind = a[k + 1];
    }
    int colon = to.lastIndexOf(':');
    if (listenPort < 0 || colon <= 0) {
        std::fprintf(stderr, "usage: minirelay --listen PORT --to HOST:PORT [--bind ADDR]\n");
        return 2;
    }
    Relay relay(to.left(colon), to.mid(colon + 1).toInt());
    if (!relay.listen(bind, listenPort)) return 1;
    return app.exec();
}
