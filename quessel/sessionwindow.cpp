#include "quessel/sessionwindow.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <cstdio>

#include "common/controls.h"

namespace quessel {

SessionWindow::SessionWindow(const Options &options, QWidget *parent)
    : QWidget(parent),
      relay_(QStringLiteral("socki"), QStringLiteral("socke"), kMaxSlots,
             [this](int, const QString &) {
                 LoginPolicy policy;
                 policy.serverPort = serverport;
                 policy.loginSeconds = options_.loginTimeout;
                 policy.serverTls = options_.serverTls;
                 policy.clientTls.available = identity_ != nullptr;
                 policy.clientTls.required = options_.requireTls;
                 return std::make_unique<LoginRules>(policy);
             }),
      socki(&relay_.clients()),
      socke(&relay_.servers()),
      options_(options) {
    common::name(this, "quessel");
    setWindowTitle(QStringLiteral("quessel"));

    Text1 = new common::TraceBox(this);
    Text2 = new common::TraceBox(this);
    common::place(Text1, "Text1", 120, 360, 2175, 4215);
    common::place(Text2, "Text2", 2400, 360, 5055, 4215);
    Text1->setAccessibleName(QStringLiteral("Client trace"));
    Text2->setAccessibleName(QStringLiteral("Server trace"));
    for (common::TraceBox *box : {Text1, Text2}) {
        box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    }

    common::RelayLimits limits;
    limits.login = common::Millis(options_.loginTimeout) * 1000;
    limits.greeting = common::Millis(options_.serverTimeout) * 1000;
    limits.linger = kHalfCloseLingerMs;
    limits.idle = common::Millis(options_.idleTimeout) * 1000;
    relay_.setLimits(limits);
    relay_.setAllowedClients(options_.allowClients);
    relay_.setMaxPerClient(options_.maxPerClient);
    // Out of descriptors, a client that has not logged in yet makes room for the next one.
    relay_.setWhenExhausted(common::RelayShell::WhenExhausted::dropOldestWaiting);
    relay_.setObserver(this);
    if (!options_.tlsCert.empty()) {
        auto identity = common::TlsServerContext::load(options_.tlsCert, options_.tlsKey);
        if (identity) {
            identity_ = *identity;
            relay_.setTlsIdentity(identity_);
        } else {
            tlsError_ = QString::fromStdString(identity.why());
        }
    }
}

SessionWindow::~SessionWindow() {
    unload();
}

void SessionWindow::load() {
    if (tracing) trace(Text1, -1, "new session\r\n");
    serverport = options_.serverPort;
    relay_.releaseAll();
    startListening();
}

bool SessionWindow::listening() const {
    return relay_.listening();
}

bool SessionWindow::startListening() {
    if (listening()) return true;
    if (!tlsError_.isEmpty()) {
        // A certificate that cannot be had is not a reason to take logins in the clear.
        listenError_ = QStringLiteral("Not listening: %1").arg(tlsError_);
        std::fprintf(stderr, "quessel: %s\n", listenError_.toLocal8Bit().constData());
        emit listenerStatus(listenError_);
        return false;
    }
    // The machine's own addresses are as local as loopback: no client may send the proxy there.
    std::vector<common::NetAddress> own;
    for (const QHostAddress &a : QNetworkInterface::allAddresses())
        if (auto n = common::NetAddress::parse(a.toString().section('%', 0, 0).toStdString()))
            own.push_back(*n);
    relay_.setServerPolicy(common::ServerPolicy(options_.allowServers, own, options_.port));
    QString why;
    const QString bind = QString::fromStdString(options_.bind);
    int failed = options_.port;
    if (relay_.listen(bind, options_.port, &why) &&
        (!options_.tlsPort || (failed = options_.tlsPort, relay_.listenTls(bind, options_.tlsPort, &why)))) {
        listenError_.clear();
        emit listenerStatus(QString());
        return true;
    }
    relay_.stopListening();
    const QString where = options_.bind.empty()
                              ? QString::number(failed)
                              : QStringLiteral("%1:%2").arg(bind).arg(failed);
    listenError_ = QStringLiteral("Not listening: cannot open port %1 (%2)").arg(where, why);
    std::fprintf(stderr, "quessel: %s\n", listenError_.toLocal8Bit().constData());
    emit listenerStatus(listenError_);
    return false;
}

void SessionWindow::listenerFailed(const QString &) {
    // The listener is gone; "Start Proxy" opens it again.
    listenError_ = QStringLiteral("Not listening: the listener failed; choose Start Proxy");
    emit listenerStatus(listenError_);
}

void SessionWindow::refusedClient(const QString &peer, const QString &why) {
    std::fprintf(stderr, "quessel: client %s refused: %s\n", peer.toLocal8Bit().constData(),
                 why.toLocal8Bit().constData());
    emit refusalsChanged(relay_.refusedClients(), relay_.refusedServers());
}

void SessionWindow::refusedServer(int, const QString &host) {
    std::fprintf(stderr, "quessel: server %s refused: not an allowed address\n",
                 host.toLocal8Bit().constData());
    emit refusalsChanged(relay_.refusedClients(), relay_.refusedServers());
}

void SessionWindow::encrypted(int i, common::Side side, const QString &info) {
    if (!tracing) return;
    const std::string line = "[TLS " + info.toStdString() + "]\r\n";
    trace(side == common::Side::client ? Text1 : Text2, i, line);
}

void SessionWindow::accepted(int slot) {
    if (std::size_t(slot) >= masks_.size()) masks_.resize(std::size_t(slot) + 1);
    masks_[std::size_t(slot)] = common::pop3ClientMask();
}

void SessionWindow::relayed(int i, common::Side from, std::string_view bytes, bool) {
    if (from == common::Side::client) {
        const std::string masked =
            masks_[std::size_t(i)].apply(bytes, tracing ? common::TraceBox::kPerShow : 0);
        if (tracing) trace(Text1, i, masked);
    } else if (tracing) {
        trace(Text2, i, bytes);
    }
}

void SessionWindow::unload() {
    relay_.releaseAll();
    relay_.stopListening();
}

void SessionWindow::trace(common::TraceBox *box, int i, std::string_view text) {
    if (i >= 0) box->append(std::to_string(i) + ": ");
    box->append(text);
}

}  // namespace quessel
