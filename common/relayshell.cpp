#include "common/relayshell.h"

#include <chrono>

namespace common {

namespace {
// Deadlines are seconds long; a quarter of a second is close enough to each.
constexpr int kSweepMs = 250;
}  // namespace

struct RelayShell::Slot {
    Slot(std::unique_ptr<RelayRules> r, const RelayLimits &limits, QString p, quint64 s)
        : rules(std::move(r)), core(*rules, limits), peer(std::move(p)), serial(s) {}
    std::unique_ptr<RelayRules> rules;
    RelaySlot core;
    QString peer;
    quint64 serial;
};

RelayShell::RelayShell(const QString &clientArray, const QString &serverArray, int maxSlots,
                       MakeRules makeRules, QObject *parent)
    : QObject(parent),
      clients_(clientArray),
      servers_(serverArray),
      maxSlots_(maxSlots),
      makeRules_(std::move(makeRules)) {
    connect(&clients_, &SocketArray::ConnectionRequest, this,
            [this](int, qintptr id) { onRequest(id); });
    connect(&clients_, &SocketArray::Exhausted, this, [this](int i) {
        if (i == 0) onExhausted();
    });
    connect(&servers_, &SocketArray::Connect, this, &RelayShell::onConnected);
    for (Side side : {Side::client, Side::server}) {
        SocketArray &a = side == Side::client ? clients_ : servers_;
        connect(&a, &SocketArray::DataArrival, this, [this, side](int i, qint64) { onData(side, i); });
        connect(&a, &SocketArray::Close, this, [this, side](int i) { onEnded(side, i); });
        connect(&a, &SocketArray::Error, this,
                [this, side](int i, int number, const QString &why) {
                    onFailed(side, i, number, why);
                });
        connect(&a, &SocketArray::SendComplete, this, [this, side](int i) { onDrained(side, i); });
    }
    sweep_.setInterval(kSweepMs);
    connect(&sweep_, &QTimer::timeout, this, &RelayShell::sweep);
}

RelayShell::~RelayShell() {
    observer_ = nullptr;
    releaseAll();
    clients_[0].Close();
}

Millis RelayShell::now() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

Socket *RelayShell::socketOf(Side side, int i) const {
    return side == Side::client ? clients_.at(i) : servers_.at(i);
}

RelayShell::Slot *RelayShell::slotAt(int i) const {
    if (i < 1 || std::size_t(i) >= slots_.size()) return nullptr;
    return slots_[std::size_t(i)].get();
}

const RelaySlot *RelayShell::slot(int i) const {
    const Slot *s = slotAt(i);
    return s ? &s->core : nullptr;
}

QString RelayShell::peer(int i) const {
    if (const Slot *s = slotAt(i)) return s->peer;
    const Socket *c = clients_.at(i);
    return c ? c->RemoteHostIP() : QString();
}

// ---- the listener ------------------------------------------------------------------------------

bool RelayShell::listen(const QString &address, int port, QString *why) {
    Socket &l = clients_[0];
    l.Close();
    l.LocalIP = address;
    l.LocalPort = port;
    return l.Listen(why);
}

bool RelayShell::listening() const {
    return clients_[0].State() == Socket::sckListening;
}

void RelayShell::stopListening() {
    clients_[0].Close();
}

void RelayShell::onRequest(qintptr requestID) {
    // The lowest free index: ended slots are used again before the table grows.
    const int top = clients_.UBound();
    int n = top + 1;
    for (int i = 1; i < top; ++i)
        if (!clients_.exists(i)) {
            n = i;
            break;
        }
    const QString peer = clients_[0].RemoteHostIP();
    if (allowedClients_) {
        const std::optional<NetAddress> a = NetAddress::parse(peer.toStdString());
        if (!a || !allowedClients_->contains(*a)) {
            refuse(peer, QStringLiteral("not in the allowed clients"));
            return;
        }
    }
    if (maxPerClient_ > 0 && perClient_.count(peer) && perClient_[peer] >= maxPerClient_) {
        refuse(peer, QStringLiteral("already has %1 connections").arg(maxPerClient_));
        return;
    }
    if (n > maxSlots_) {
        refuse(peer, QStringLiteral("every slot is taken"));
        return;
    }
    if (servers_.exists(n)) servers_.Unload(n);
    if (!clients_.Load(n)) return;
    if (!clients_[n].Accept(requestID)) {
        clients_.Unload(n);
        return;
    }
    if (std::size_t(n) >= slots_.size()) slots_.resize(std::size_t(n) + 1);
    slots_[std::size_t(n)] =
        std::make_unique<Slot>(makeRules_(n, peer), limits_, peer, ++serial_);
    ++perClient_[peer];
    if (observer_) observer_->accepted(n);
    RelayEvent e;
    e.kind = RelayEvent::accepted;
    e.now = now();
    run(n, e);
}

void RelayShell::refuse(const QString &peer, const QString &why) {
    // Not accepting the request closes the connection at once, unread.
    ++refusedClients_;
    if (observer_) observer_->refusedClient(peer, why);
}

void RelayShell::onExhausted() {
    if (whenExhausted_ != WhenExhausted::dropOldestWaiting) return;  // the socket refuses it
    // The oldest client that has not had its server side opened is the one that waits for the
    // least: it gives its descriptor to the newcomer.
    int oldest = 0;
    quint64 first = 0;
    for (std::size_t i = 1; i < slots_.size(); ++i) {
        const Slot *s = slots_[i].get();
        if (s && s->core.phase() == RelaySlot::Phase::accepted && (!oldest || s->serial < first)) {
            oldest = int(i);
            first = s->serial;
        }
    }
    if (oldest) release(oldest);
}

void RelayShell::forget(int i) {
    Slot *s = slotAt(i);
    if (!s) return;
    if (auto it = perClient_.find(s->peer); it != perClient_.end() && --it->second <= 0)
        perClient_.erase(it);
    slots_[std::size_t(i)].reset();
}

// ---- socket events -----------------------------------------------------------------------------

namespace {
// What a side can take now without queueing.
std::int64_t roomOf(const Socket *s) {
    if (!s || (s->State() != Socket::sckConnected && s->State() != Socket::sckClosing)) return 0;
    return s->unsent() > 0 ? 0 : s->sendRoom();
}
}  // namespace

void RelayShell::onData(Side side, int i) {
    Socket *source = socketOf(side, i);
    Slot *s = slotAt(i);
    if (!source) return;
    if (!s || i == 0) {
        source->consumeData();
        return;
    }
    RelayEvent e;
    e.kind = RelayEvent::data;
    e.side = side;
    e.bytes = source->peekData();
    e.now = now();
    // Only a relaying slot moves bytes between the sides; measuring costs a system call.
    if (s->core.phase() == RelaySlot::Phase::relaying) e.room = roomOf(socketOf(partner(side), i));
    const RelayActions actions = s->core.step(e);
    execute(i, actions);
    // A server side opened anew may be the same element, reused: its chunk went with the old one.
    bool reopened = false;
    for (const RelayAction &a : actions) reopened |= a.kind == RelayAction::connect;
    if (side == Side::server && reopened) return;
    // The chunk was read from its socket's buffer: it is taken only now that it has been sent.
    if (!actions.keep && socketOf(side, i) == source) source->consumeData();
}

void RelayShell::onConnected(int i) {
    if (!slotAt(i)) return;
    if (observer_) observer_->connected(i);
    RelayEvent e;
    e.kind = RelayEvent::connected;
    e.side = Side::server;
    e.room = roomOf(servers_.at(i));
    e.now = now();
    run(i, e);
}

void RelayShell::onEnded(Side side, int i) {
    if (!slotAt(i)) {
        // A slot kept by closeAll, or one whose relay is gone: nothing more to pass on.
        if (i > 0) release(i);
        return;
    }
    RelayEvent e;
    e.kind = RelayEvent::ended;
    e.side = side;
    e.now = now();
    run(i, e);
}

void RelayShell::onFailed(Side side, int i, int number, const QString &why) {
    if (i == 0) {
        if (side == Side::client) {
            clients_[0].Close();
            if (observer_) observer_->listenerFailed(why);
        }
        return;
    }
    if (!slotAt(i)) {
        release(i);
        return;
    }
    if (side == Side::server && number == Socket::kNotAllowed) {
        ++refusedServers_;
        if (observer_) observer_->refusedServer(i, servers_[i].RemoteHost);
    }
    const QByteArray reason = why.toUtf8();
    RelayEvent e;
    e.kind = RelayEvent::failed;
    e.side = side;
    e.bytes = std::string_view(reason.constData(), std::size_t(reason.size()));
    e.now = now();
    run(i, e);
}

void RelayShell::onDrained(Side side, int i) {
    if (!slotAt(i)) return;
    RelayEvent e;
    e.kind = RelayEvent::drained;
    e.side = side;
    e.room = roomOf(socketOf(side, i));
    e.now = now();
    run(i, e);
}

void RelayShell::sweep() {
    // One timer for every slot: a timer per connection would cost more than its relay.
    const Millis t = now();
    bool waiting = false;
    for (std::size_t i = 1; i < slots_.size(); ++i) {
        Slot *s = slots_[i].get();
        if (!s) continue;
        const Millis due = s->core.nextDeadline();
        if (due == kNever) continue;
        if (due <= t) {
            RelayEvent e;
            e.kind = RelayEvent::tick;
            e.now = t;
            run(int(i), e);
            s = slots_[i].get();
            if (!s || s->core.nextDeadline() == kNever) continue;
        }
        waiting = true;
    }
    if (!waiting) sweep_.stop();
}

// ---- actions -----------------------------------------------------------------------------------

void RelayShell::run(int i, const RelayEvent &event) {
    Slot *s = slotAt(i);
    if (!s) return;
    execute(i, s->core.step(event));
}

void RelayShell::execute(int i, const RelayActions &actions) {
    for (const RelayAction &a : actions) {
        Socket *sock = socketOf(a.side, i);
        switch (a.kind) {
            case RelayAction::send:
                if (sock) sock->SendData(a.bytes);
                break;
            case RelayAction::trace:
                if (observer_) observer_->relayed(i, a.side, a.bytes, a.n != 0);
                break;
            case RelayAction::pause:
                if (sock) sock->setReadPaused(true);
                break;
            case RelayAction::resume:
                if (sock) {
                    sock->setReadLimit(a.n);
                    sock->setReadPaused(false);
                    if (sock->bytesPending() > 0) redeliverLater(a.side, i);
                }
                break;
            case RelayAction::limit:
                if (sock) sock->setReadLimit(a.n);
                break;
            case RelayAction::watch:
                if (sock) sock->watchWritable();
                break;
            case RelayAction::shutdown:
                if (sock) sock->ShutdownSend();
                break;
            case RelayAction::connect:
                openServer(i, a.bytes, int(a.n));
                break;
            case RelayAction::release:
                release(i);
                return;
        }
    }
    if (const Slot *s = slotAt(i); s && !sweep_.isActive() && s->core.nextDeadline() != kNever)
        sweep_.start();
}

void RelayShell::openServer(int i, std::string_view host, int port) {
    if (servers_.exists(i)) servers_.Unload(i);
    servers_.Load(i);
    Socket &s = servers_[i];
    s.RemoteHost = QString::fromUtf8(host.data(), qsizetype(host.size()));
    s.RemotePort = port;
    const Slot *owner = slotAt(i);
    if (hasServerPolicy_ && owner && owner->rules->clientNamesServer()) {
        const bool byName = serverPolicy_.allowsName(host);
        s.allowAddress = [this, byName](const NetAddress &a, int p) {
            return serverPolicy_.allows(a, p, byName);
        };
    } else {
        s.allowAddress = nullptr;
    }
    s.Connect();
}

void RelayShell::redeliverLater(Side side, int i) {
    // Bytes read just before a pause stay in their socket; no new read brings them, so they are
    // handed on from the event loop once the slot reads again.
    const Slot *s = slotAt(i);
    if (!s) return;
    const quint64 serial = s->serial;
    QTimer::singleShot(0, this, [this, side, i, serial] {
        const Slot *now = slotAt(i);
        const Socket *sock = socketOf(side, i);
        if (now && now->serial == serial && sock && !sock->readPaused() && sock->bytesPending() > 0)
            onData(side, i);
    });
}

void RelayShell::release(int i) {
    if (i < 1) return;
    if (Socket *c = clients_.at(i)) {
        c->Close();
        clients_.Unload(i);
    }
    if (Socket *s = servers_.at(i)) {
        s->Close();
        servers_.Unload(i);
    }
    const bool had = slotAt(i) != nullptr;
    forget(i);
    if (had && observer_) observer_->released(i);
}

void RelayShell::releaseAll() {
    for (int i = std::max(clients_.UBound(), servers_.UBound()); i >= 1; --i) release(i);
}

void RelayShell::closeAll() {
    for (int i = 1; i <= std::max(clients_.UBound(), servers_.UBound()); ++i) {
        if (Socket *c = clients_.at(i); c && c->State() != Socket::sckClosed) c->Close();
        if (Socket *s = servers_.at(i); s && s->State() != Socket::sckClosed) s->Close();
        forget(i);
    }
}

}  // namespace common
