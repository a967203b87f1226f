#include "common/relayshell.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "common/proxyheader.h"
#include "common/tunnelpump.h"

namespace common {

namespace {
// Deadlines are seconds long; a quarter of a second is close enough to each.
constexpr int kSweepMs = 250;
}  // namespace

struct RelayShell::Slot {
    Slot(std::unique_ptr<RelayRules> r, const RelayLimits &limits, const NetAddress &a, QString p,
         quint64 s)
        : rules(std::move(r)), core(*rules, limits), address(a), peer(std::move(p)), serial(s) {}
    std::unique_ptr<RelayRules> rules;
    RelaySlot core;
    NetAddress address;  // the client's, counted against the cap
    QString peer;
    quint64 serial;
    std::string serverHost;  // what the server's certificate must be for
    SlotStats stats;
    Millis started = 0;
    bool heard = false;  // the client has sent something
    // Who carries its tunnel: -1 nobody yet (not a plain tunnel, or not placed), 0 the event
    // loop, k a pump (pumps_[k - 1]).
    int carrier = -1;
    bool pumped = false;  // a pump has its sockets now
    std::shared_ptr<TunnelMeter> meter;  // what the pump has carried, while it has the tunnel
    const char *pumpEnd = nullptr;  // how that tunnel ended
};

// A balancer's connection whose PROXY header has not come in whole yet.
struct RelayShell::PendingHeader {
    QString balancer;
    NetAddress address;
    bool tls = false;
    Millis deadline = 0;
    std::string bytes;
};

namespace {
constexpr Millis kHeaderMs = 5000;
}  // namespace

RelayShell::RelayShell(const QString &clientArray, const QString &serverArray, int maxSlots,
                       MakeRules makeRules, QObject *parent)
    : QObject(parent),
      clients_(clientArray),
      servers_(serverArray),
      maxSlots_(maxSlots),
      makeRules_(std::move(makeRules)) {
    connect(&clients_, &SocketArray::ConnectionRequest, this,
            [this](int, qintptr id) { onRequest(id, false); });
    connect(&tlsListener_, &SocketArray::ConnectionRequest, this,
            [this](int, qintptr id) { onRequest(id, true); });
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
        connect(&a, &SocketArray::Encrypted, this, [this, side](int i) { onEncrypted(side, i); });
    }
    sweep_.setInterval(kSweepMs);
    connect(&sweep_, &QTimer::timeout, this, &RelayShell::sweep);
}

RelayShell::~RelayShell() {
    observer_ = nullptr;
    pumps_.clear();  // their tunnels close; no report comes any more
    releaseAll();
    clients_[0].Close();
    tlsListener_[0].Close();
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

const RelayRules *RelayShell::rules(int i) const {
    const Slot *s = slotAt(i);
    return s ? s->rules.get() : nullptr;
}

RelayRules *RelayShell::rules(int i) {
    Slot *s = slotAt(i);
    return s ? s->rules.get() : nullptr;
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

bool RelayShell::listenTls(const QString &address, int port, QString *why) {
    Socket &l = tlsListener_[0];
    l.Close();
    if (!identity_) {
        if (why) *why = QStringLiteral("no certificate");
        return false;
    }
    l.LocalIP = address;
    l.LocalPort = port;
    return l.Listen(why);
}

bool RelayShell::moveListener(const QString &address, int port, QString *why) {
    return clients_[0].ListenAgain(address, port, why);
}

bool RelayShell::moveTlsListener(const QString &address, int port, QString *why) {
    if (!identity_) {
        if (why) *why = QStringLiteral("no certificate");
        return false;
    }
    return tlsListener_[0].ListenAgain(address, port, why);
}

bool RelayShell::listeningTls() const {
    return tlsListener_[0].State() == Socket::sckListening;
}

void RelayShell::stopListeningTls() {
    tlsListener_[0].Close();
}

bool RelayShell::listening() const {
    return clients_[0].State() == Socket::sckListening;
}

void RelayShell::stopListening() {
    clients_[0].Close();
    tlsListener_[0].Close();
}

std::size_t RelayShell::AddressHash::operator()(const NetAddress &a) const {
    std::uint64_t high, low;
    std::memcpy(&high, a.bytes().data(), 8);
    std::memcpy(&low, a.bytes().data() + 8, 8);
    return std::hash<std::uint64_t>()(high * 0x9e3779b97f4a7c15ULL ^ low);
}

bool RelayShell::admissible(const NetAddress &address, const QString &peer) {
    if (allowedClients_ && !allowedClients_->contains(address)) {
        refuse(peer, QStringLiteral("not in the allowed clients"), "not allowed");
        return false;
    }
    if (maxPerClient_ > 0) {
        if (auto it = perClient_.find(address); it != perClient_.end() && it->second >= maxPerClient_) {
            refuse(peer, QStringLiteral("already has %1 connections").arg(maxPerClient_),
                   "per-client cap");
            return false;
        }
    }
    return true;
}

bool RelayShell::fromBalancer(const NetAddress &address) const {
    return !balancers_.empty() && balancers_.contains(address);
}

void RelayShell::onRequest(qintptr requestID, bool tls) {
    // The lowest free index: ended slots are used again before the table grows.
    const int top = clients_.UBound();
    int n = top + 1;
    for (int i = 1; i < top; ++i)
        if (!clients_.exists(i)) {
            n = i;
            break;
        }
    const Socket &listener = (tls ? tlsListener_ : clients_)[0];
    const NetAddress address = listener.RemoteAddress();
    const QString peer = listener.RemoteHostIP();
    // A balancer's client is judged once its PROXY header has said who it is.
    const bool balancer = fromBalancer(address);
    if (!balancer && !admissible(address, peer)) return;
    if (n > maxSlots_) {
        refuse(peer, QStringLiteral("every slot is taken"), "slots full");
        return;
    }
    if (servers_.exists(n)) servers_.Unload(n);
    if (!clients_.Load(n)) return;
    if (!clients_[n].Accept(requestID)) {
        clients_.Unload(n);
        return;
    }
    if (balancer) {
        if (std::size_t(n) >= headers_.size()) headers_.resize(std::size_t(n) + 1);
        headers_[std::size_t(n)] = std::make_unique<PendingHeader>();
        headers_[std::size_t(n)]->balancer = peer;
        headers_[std::size_t(n)]->address = address;
        headers_[std::size_t(n)]->tls = tls;
        headers_[std::size_t(n)]->deadline = now() + kHeaderMs;
        if (!sweep_.isActive()) sweep_.start();
        return;
    }
    admit(n, address, peer, tls, {});
}

void RelayShell::admit(int n, const NetAddress &address, const QString &peer, bool tls,
                       std::string_view first) {
    if (std::size_t(n) >= slots_.size()) slots_.resize(std::size_t(n) + 1);
    slots_[std::size_t(n)] =
        std::make_unique<Slot>(makeRules_(n, peer), limits_, address, peer, ++serial_);
    slots_[std::size_t(n)]->started = now();
    slots_[std::size_t(n)]->stats.peer = peer;
    ++perClient_[address];
    ++counts_.accepted;
    counts_.peak = std::max(counts_.peak, count());
    // The welcome waits for the handshake; Encrypted tells the rules.
    if (tls) startTls(Side::client, n, first);
    if (observer_) observer_->accepted(n);
    RelayEvent e;
    e.kind = RelayEvent::accepted;
    e.now = now();
    run(n, e);
    if (tls || first.empty() || !slotAt(n)) return;
    // What the client sent behind the header.
    e.kind = RelayEvent::data;
    e.side = Side::client;
    e.bytes = first;
    e.now = now();
    run(n, e);
}

void RelayShell::onHeader(int i) {
    Socket *c = clients_.at(i);
    PendingHeader *h = std::size_t(i) < headers_.size() ? headers_[std::size_t(i)].get() : nullptr;
    if (!c || !h) return;
    h->bytes.append(c->peekData());
    c->consumeData();
    const ProxyHeader header = parseProxyHeader(h->bytes);
    if (header.state == ProxyHeader::incomplete && h->bytes.size() < kMaxProxyHeader) return;
    const QString balancer = h->balancer;
    const NetAddress balancerAddress = h->address;
    const bool tls = h->tls;
    std::string rest = h->bytes.substr(std::min(header.length, h->bytes.size()));
    headers_[std::size_t(i)].reset();
    if (header.state != ProxyHeader::complete) {
        refuse(balancer, QStringLiteral("sent no PROXY header"), "proxy header");
        release(i);
        return;
    }
    // The balancer's own connection (a health check) counts as the balancer's.
    const NetAddress address = header.client ? *header.client : balancerAddress;
    const QString peer =
        header.client ? QString::fromStdString(header.client->text()) : balancer;
    if (!admissible(address, peer)) {
        release(i);
        return;
    }
    admit(i, address, peer, tls, rest);
}

void RelayShell::refuse(const QString &peer, const QString &why, std::string_view reason) {
    // Not accepting the request closes the connection at once, unread.
    ++refusedClients_;
    counts_.refused.add(reason);
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
    if (auto it = perClient_.find(s->address); it != perClient_.end() && --it->second <= 0)
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
    if (!s && side == Side::client && std::size_t(i) < headers_.size() && headers_[std::size_t(i)]) {
        onHeader(i);
        return;
    }
    if (!s || i == 0) {
        source->consumeData();
        return;
    }
    // Only a balancer may say where a connection comes from.
    if (side == Side::client && !balancers_.empty() && !s->heard &&
        startsWithProxySignature(source->peekData())) {
        const QString peer = s->peer;
        source->consumeData();
        release(i);
        refuse(peer, QStringLiteral("sent a PROXY header but is no balancer"), "proxy header");
        return;
    }
    if (side == Side::client) s->heard = true;
    RelayEvent e;
    e.kind = RelayEvent::data;
    e.side = side;
    e.bytes = source->peekData();
    e.now = now();
    const bool before = s->core.phase() == RelaySlot::Phase::relaying;
    const RelayActions actions = s->core.step(e);
    execute(i, actions);
    if (!before) noteRelaying(i);
    // A server side opened anew may be the same element, reused: its chunk went with the old one.
    bool reopened = false;
    for (const RelayAction &a : actions)
        reopened |= a.kind == RelayAction::connect || a.kind == RelayAction::connectTls;
    if (side == Side::server && reopened) return;
    // The chunk was read from its socket's buffer: it is taken only now that it has been sent.
    if (!actions.keep && socketOf(side, i) == source) source->consumeData();
    handOff(i);
}

void RelayShell::onConnected(int i) {
    if (!slotAt(i)) return;
    if (observer_) observer_->connected(i);
    // TLS from the first byte: the connection is heard of once its handshake is done.
    if (const Socket *s = servers_.at(i); observer_ && s && s->encrypted())
        observer_->encrypted(i, Side::server, s->tlsInfo());
    RelayEvent e;
    e.kind = RelayEvent::connected;
    e.side = Side::server;
    // Not measured: a new connection has an empty queue, and what goes first is sent before
    // anything else is read; the client's first chunk after it is measured once sent.
    e.room = -1;
    e.now = now();
    run(i, e);
}

void RelayShell::onEnded(Side side, int i) {
    if (std::size_t(i) < headers_.size() && headers_[std::size_t(i)]) headers_[std::size_t(i)].reset();
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
    if (std::size_t(i) < headers_.size() && headers_[std::size_t(i)]) headers_[std::size_t(i)].reset();
    if (!slotAt(i)) {
        release(i);
        return;
    }
    if (side == Side::server) slotAt(i)->stats.failure = why;
    if (side == Side::server && number == Socket::kNotAllowed) {
        ++refusedServers_;
        counts_.refused.add("server not allowed");
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

void RelayShell::onEncrypted(Side side, int i) {
    if (!slotAt(i)) return;
    ++(side == Side::client ? counts_.clientHandshakes : counts_.serverHandshakes);
    if (observer_)
        if (const Socket *s = socketOf(side, i)) observer_->encrypted(i, side, s->tlsInfo());
    RelayEvent e;
    e.kind = RelayEvent::encrypted;
    e.side = side;
    e.now = now();
    // The name the client asked for, for rules that show a certificate of their own.
    std::string name;
    if (side == Side::client)
        if (const Socket *s = socketOf(side, i)) name = s->tlsRequestedName();
    e.bytes = name;
    run(i, e);
}

void RelayShell::sweep() {
    // One timer for every slot: a timer per connection would cost more than its relay.
    const Millis t = now();
    sampleThroughput(t);
    bool waiting = false;
    for (std::size_t i = 1; i < headers_.size(); ++i) {
        if (!headers_[i]) continue;
        if (headers_[i]->deadline > t) {
            waiting = true;
            continue;
        }
        const QString balancer = headers_[i]->balancer;
        headers_[i].reset();
        release(int(i));
        refuse(balancer, QStringLiteral("sent no PROXY header in time"), "proxy header");
    }
    for (std::size_t i = 1; i < slots_.size(); ++i) {
        Slot *s = slots_[i].get();
        if (!s || s->pumped) continue;  // the pump keeps a tunnel's deadlines
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
    const bool before = s->core.phase() == RelaySlot::Phase::relaying;
    execute(i, s->core.step(event));
    if (!before) noteRelaying(i);
    if (event.kind != RelayEvent::measured) handOff(i);  // a measure comes amid a chunk's actions
}

void RelayShell::noteRelaying(int i) {
    Slot *s = slotAt(i);
    if (!s || s->stats.relayed || s->core.phase() != RelaySlot::Phase::relaying) return;
    s->stats.relayed = true;
    if (observer_) observer_->relaying(i);
}

void RelayShell::execute(int i, const RelayActions &actions) {
    for (std::size_t k = 0; k < actions.size(); ++k) {
        const RelayAction &a = actions[k];
        Socket *sock = socketOf(a.side, i);
        switch (a.kind) {
            case RelayAction::send: {
                // Two pieces in a row for one side (a head of the rules' own and the bytes behind
                // it) go out in one write.
                std::string_view more;
                if (k + 1 < actions.size() && actions[k + 1].kind == RelayAction::send &&
                    actions[k + 1].side == a.side)
                    more = actions[++k].bytes;
                if (sock && sock->SendData(a.bytes, more)) {
                    SlotStats &st = slots_[std::size_t(i)]->stats;
                    const auto n = std::int64_t(a.bytes.size() + more.size());
                    (a.side == Side::server ? st.fromClient : st.fromServer) += n;
                    (a.side == Side::server ? counts_.fromClient : counts_.fromServer) += n;
                }
                break;
            }
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
            case RelayAction::measure: {
                RelayEvent e;
                e.kind = RelayEvent::measured;
                e.side = a.side;
                e.room = roomOf(sock);
                e.now = now();
                run(i, e);
                break;
            }
            case RelayAction::shutdown:
                if (sock) sock->ShutdownSend();
                break;
            case RelayAction::connect:
            case RelayAction::connectTls:
                openServer(i, a.bytes, int(a.n), a.kind == RelayAction::connectTls);
                break;
            case RelayAction::starttls:
                // The client's: bytes of its handshake the rules took already; the server's: the
                // name its certificate must be for.
                if (a.side == Side::client)
                    startTls(a.side, i, a.bytes);
                else
                    startTls(a.side, i, {}, a.bytes);
                break;
            case RelayAction::release:
                release(i);
                return;
        }
    }
    if (const Slot *s = slotAt(i); s && !sweep_.isActive() && s->core.nextDeadline() != kNever)
        sweep_.start();
}

void RelayShell::openServer(int i, std::string_view host, int port, bool tls) {
    if (servers_.exists(i)) servers_.Unload(i);
    servers_.Load(i);
    Socket &s = servers_[i];
    s.RemoteHost = QString::fromUtf8(host.data(), qsizetype(host.size()));
    s.RemotePort = port;
    Slot *owner = slotAt(i);
    if (owner) owner->serverHost.assign(host);
    s.tlsOnConnect.reset();
    if (tls) {
        Socket::TlsSettings t;
        t.check.host = std::string(host);
        s.tlsOnConnect = t;
    }
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

void RelayShell::startTls(Side side, int i, std::string_view alreadyRead, std::string_view name) {
    Socket *sock = socketOf(side, i);
    Slot *slot = slotAt(i);
    if (!sock || !slot) return;
    Socket::TlsSettings t;
    if (side == Side::client) {
        t.server = true;
        // The rules' own certificate for this client (one for the server it asked for), bounded
        // by the server's own when the server side is encrypted.
        const Socket *server = servers_.at(i);
        t.identity = slot->rules->clientIdentity(server ? server->tlsPeerEnd() : 0);
        // A client that sent its hello before it was answered is not left waiting for nothing.
        t.keepUnread = t.identity != nullptr;
        if (!t.identity) t.identity = identity_;
    } else {
        t.check.host = name.empty() ? slot->serverHost : std::string(name);
    }
    // A side that cannot start TLS is not talked to in the clear instead.
    if (!sock->StartTls(t, alreadyRead)) {
        RelayEvent e;
        e.kind = RelayEvent::failed;
        e.side = side;
        e.bytes = "TLS could not be started";
        e.now = now();
        QTimer::singleShot(0, this, [this, i, serial = slot->serial, e] {
            if (const Slot *s = slotAt(i); s && s->serial == serial) run(i, e);
        });
    }
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
    if (std::size_t(i) < headers_.size()) headers_[std::size_t(i)].reset();
    if (Socket *c = clients_.at(i)) {
        c->Close();
        clients_.Unload(i);
    }
    if (Socket *s = servers_.at(i)) {
        s->Close();
        servers_.Unload(i);
    }
    Slot *s = slotAt(i);
    if (s && s->carrier >= 0) {
        --carried_[std::size_t(s->carrier)];
        if (s->pumped && !s->pumpEnd) pumps_[std::size_t(s->carrier - 1)]->drop(s->serial);
    }
    if (s && s->meter) {
        // A tunnel dropped before its pump told how it ended: what it carried so far counts.
        counts_.fromClient += s->meter->fromClient.load(std::memory_order_relaxed);
        counts_.fromServer += s->meter->fromServer.load(std::memory_order_relaxed);
        s->meter.reset();
    }
    if (s && observer_) {
        s->stats.millis = now() - s->started;
        s->stats.transition = s->pumpEnd ? s->pumpEnd : s->core.transition();
        observer_->released(i, s->stats);
    }
    forget(i);
    // The sweep stops with the last slot: its last bytes are counted in their own second.
    if (count() == 0) sampleThroughput(now());
}

void RelayShell::setCarryTunnels(bool on) {
    carryTunnels_ = on;
    if (!on || !pumps_.empty()) return;
    // The event loop carries tunnels too; each further core gets a pump. Started at once: their
    // threads and descriptors are there from the start, not with the first tunnel.
    const unsigned cores = std::max(2u, std::thread::hardware_concurrency());
    for (unsigned k = 1; k < cores; ++k)
        pumps_.push_back(std::make_unique<TunnelPump>([this](const TunnelPump::Ended &e) {
            // A pump's thread: the slot is told on the event loop's.
            QMetaObject::invokeMethod(this, [this, e] { onTunnelEnded(e); }, Qt::QueuedConnection);
        }));
    carried_.assign(pumps_.size() + 1, 0);
}

void RelayShell::handOff(int i) {
    if (!carryTunnels_) return;
    Slot *s = slotAt(i);
    if (!s || s->pumped || s->carrier == 0) return;
    if (s->carrier < 0) {
        if (s->core.phase() != RelaySlot::Phase::relaying || !s->rules->plainTunnel()) return;
        // A tunnel inside TLS of halvex's own (read, or another protocol inside it) is the event
        // loop's: a pump carries descriptors in the clear only.
        const Socket *client = clients_.at(i), *server = servers_.at(i);
        if ((client && client->encrypted()) || (server && server->encrypted())) return;
        // Whoever carries the fewest tunnels takes it, the event loop when it is one of them: one
        // stream stays where it is fastest, many spread over the cores.
        s->carrier = int(std::min_element(carried_.begin(), carried_.end()) - carried_.begin());
        ++carried_[std::size_t(s->carrier)];
        if (s->carrier == 0) return;
    }
    Socket *c = clients_.at(i);
    Socket *v = servers_.at(i);
    // A side that has ended, or that still has bytes of its own queued, waits here.
    if (!c || !v || !c->idleInTheClear() || !v->idleInTheClear()) return;
    auto meter = std::make_shared<TunnelMeter>();
    if (!pumps_[std::size_t(s->carrier - 1)]->add(s->serial, c->descriptor(), v->descriptor(),
                                                  limits_, meter))
        return;
    s->meter = std::move(meter);
    c->giveAway();
    v->giveAway();
    s->pumped = true;
}

void RelayShell::onTunnelEnded(const TunnelPump::Ended &e) {
    for (std::size_t i = 1; i < slots_.size(); ++i) {
        Slot *s = slots_[i].get();
        if (!s || s->serial != e.id || !s->pumped) continue;
        s->stats.fromClient += e.fromClient;
        s->stats.fromServer += e.fromServer;
        counts_.fromClient += e.fromClient;
        counts_.fromServer += e.fromServer;
        s->meter.reset();
        // The relay core's own words, as for a slot the event loop carried to its end.
        s->pumpEnd = e.transition;
        if (!e.failure.empty()) s->stats.failure = QString::fromStdString(e.failure);
        s->rules->tunnelled(e.fromClient, e.fromServer);
        release(int(i));
        return;
    }
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

RelayCounts RelayShell::countsNow() const {
    RelayCounts c = counts_;
    for (const auto &s : slots_)
        if (s && s->meter) {
            c.fromClient += s->meter->fromClient.load(std::memory_order_relaxed);
            c.fromServer += s->meter->fromServer.load(std::memory_order_relaxed);
        }
    return c;
}

void RelayShell::sampleThroughput(Millis t) {
    const RelayCounts c = countsNow();
    throughput_.sample(t / 1000, c.fromClient, c.fromServer);
}

namespace {
const char *stateName(RelaySlot::Phase p) {
    switch (p) {
        case RelaySlot::Phase::accepted: return "opening";
        case RelaySlot::Phase::connecting: return "connecting";
        case RelaySlot::Phase::greeting: return "greeting";
        case RelaySlot::Phase::relaying: return "relaying";
        case RelaySlot::Phase::released: return "closing";
    }
    return "";
}
}  // namespace

RelaySnapshot RelayShell::snapshot() {
    const Millis t = now();
    RelaySnapshot out;
    out.counts = countsNow();
    throughput_.sample(t / 1000, out.counts.fromClient, out.counts.fromServer);
    out.uptimeSeconds = (t - startedAt_) / 1000;
    out.listening = listening() || listeningTls();
    out.throughput = throughput_.history(t / 1000);
    for (std::size_t i = 1; i < slots_.size(); ++i) {
        const Slot *s = slots_[i].get();
        if (!s) continue;
        ConnectionRow r;
        r.slot = int(i);
        r.client = s->peer.toStdString();
        r.target = s->rules->target();
        r.state = s->pumped ? "tunnel" : stateName(s->core.phase());
        r.fromClient = s->stats.fromClient;
        r.fromServer = s->stats.fromServer;
        if (s->meter) {
            r.fromClient += s->meter->fromClient.load(std::memory_order_relaxed);
            r.fromServer += s->meter->fromServer.load(std::memory_order_relaxed);
        }
        r.ageMs = t - s->started;
        const Socket *c = clients_.at(int(i)), *v = servers_.at(int(i));
        const bool ct = c && c->encrypted(), vt = v && v->encrypted();
        r.tls = ct && vt ? "both" : ct ? "client" : vt ? "server" : "";
        out.connections.push_back(std::move(r));
    }
    return out;
}

}  // namespace common
