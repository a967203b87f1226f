#include "quessel/sessionwindow.h"

#include "common/hostport.h"

#include <QFile>
#include <QHostAddress>
#include <QNetworkInterface>
#include <cstdio>

#include "common/controls.h"
#include "common/log.h"

namespace quessel {

SessionWindow::SessionWindow(const Options &options, QWidget *parent)
    : QWidget(parent),
      relay_(QStringLiteral("socki"), QStringLiteral("socke"), kMaxSlots,
             [this](int slot, const QString &peer) {
                 LoginPolicy policy;
                 policy.serverPort = serverPort_;
                 policy.loginSeconds = options_.loginTimeout;
                 policy.greetingSeconds = options_.serverTimeout;
                 policy.map = map_;
                 policy.userServer = options_.userServer.value_or(map_ == nullptr);
                 if (const auto a = common::NetAddress::parse(peer.toStdString())) policy.clientLocal = a->isLoopback();
                 policy.refusedLogin = [this, slot](const RefusedLogin &login) {
                     refusedLogin(slot, login);
                 };
                 policy.serverTls = options_.serverTls;
                 policy.clientTls.available = identity_ != nullptr;
                 policy.clientTls.required = options_.requireTls;
                 return std::make_unique<LoginRules>(policy);
             }),
      status_([this] { return snapshot(); }),
      options_(options) {
    common::name(this, "quessel");
    setWindowTitle(QStringLiteral("quessel"));

    Text1 = new common::TraceBox(this);
    Text2 = new common::TraceBox(this);
    common::place(Text1, "Text1", 120, 360, 2175, 4215);
    common::place(Text2, "Text2", 2400, 360, 5055, 4215);
    Text1->setAccessibleName(QStringLiteral("Client trace"));
    Text2->setAccessibleName(QStringLiteral("Server trace"));
    common::setPlaceholder(Text1, QStringLiteral("what the clients send"));
    common::setPlaceholder(Text2, QStringLiteral("what the servers send"));
    for (common::TraceBox *box : {Text1, Text2}) {
        box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    }

    applyLimits();
    // Out of descriptors, a client that has not logged in yet makes room for the next one.
    relay_.setWhenExhausted(common::RelayShell::WhenExhausted::dropOldestWaiting);
    relay_.setObserver(this);
    loadIdentity();
    mapError_ = loadMap();
    statusWhy_ = status_.apply(options_.status, options_.statusAllow);
}

common::RelaySnapshot SessionWindow::snapshot() {
    common::RelaySnapshot s = relay_.snapshot();
    s.program = "quessel";
    s.handledNoun = "logins";
    return s;
}

QString SessionWindow::loadMap() {
    if (options_.mapFile.empty()) {
        map_.reset();
        return {};
    }
    QFile file(QString::fromStdString(options_.mapFile));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("the map %1 cannot be read: %2").arg(file.fileName(), file.errorString());
    const QByteArray text = file.readAll();
    common::Result<PopMap> map = PopMap::parse(std::string_view(text.constData(), std::size_t(text.size())));
    if (!map) return QStringLiteral("the map %1: %2").arg(file.fileName(), QString::fromStdString(map.why()));
    map_ = std::make_shared<const PopMap>(std::move(*map));
    return {};
}

void SessionWindow::applyLimits() {
    common::RelayLimits limits;
    limits.login = common::Millis(options_.loginTimeout) * 1000;
    limits.greeting = common::Millis(options_.serverTimeout) * 1000;
    limits.linger = kHalfCloseLingerMs;
    limits.idle = common::Millis(options_.idleTimeout) * 1000;
    relay_.setLimits(limits);
    relay_.setAllowedClients(options_.allowClients);
    relay_.setMaxPerClient(options_.maxPerClient);
    relay_.setBalancers(options_.balancers);
}

void SessionWindow::applyServerPolicy() {
    // The machine's own addresses are as local as loopback: no client may send the proxy there.
    std::vector<common::NetAddress> own;
    for (const QHostAddress &a : QNetworkInterface::allAddresses())
        if (auto n = common::NetAddress::parse(a.toString().section('%', 0, 0).toStdString()))
            own.push_back(*n);
    // Neither listener may be a client's server: a chain into ourselves through the POP3S port
    // would be as much a loop as one through the plain port.
    std::vector<int> ports{options_.port};
    if (options_.tlsPort) ports.push_back(options_.tlsPort);
    relay_.setServerPolicy(common::ServerPolicy(options_.allowServers, own, ports));
}

void SessionWindow::loadIdentity() {
    tlsError_.clear();
    if (options_.tlsCert.empty()) return;
    auto identity = common::TlsServerContext::load(options_.tlsCert, options_.tlsKey);
    if (!identity) {
        tlsError_ = QString::fromStdString(identity.why());
        return;
    }
    identity_ = *identity;
    relay_.setTlsIdentity(identity_);
}

common::ReloadOutcome SessionWindow::apply(const Options &options) {
    common::ReloadOutcome outcome;
    const Options old = options_;
    options_ = options;
    // The listeners go where the settings now say, each new one open before its old one closes.
    options_.port = old.port;
    options_.bind = old.bind;
    options_.tlsPort = old.tlsPort;
    if (listening()) {
        auto where = [&](int port) {
            return common::hostAndPort(options.bind.empty() ? "0.0.0.0" : options.bind, port);
        };
        const QString bind = QString::fromStdString(options.bind);
        QString why;
        if (options.port != old.port || options.bind != old.bind) {
            if (relay_.moveListener(bind, options.port, &why)) {
                options_.port = options.port;
                options_.bind = options.bind;
                common::LogLine(common::LogLevel::info, "listening")
                    .field("address", where(options.port))
                    .field("outcome", "moved");
            } else {
                outcome.keep(options.port != old.port ? "port" : "bind",
                             "cannot listen on " + where(options.port) + ": " + why.toStdString());
            }
        }
    }
    applyLimits();
    if (statusWhy_ = status_.apply(options_.status, options_.statusAllow); !statusWhy_.isEmpty())
        outcome.keep("status", statusWhy_.toStdString());
    serverPort_ = options_.serverPort;  // for the sessions to come
    if (!options_.tlsCert.empty()) {
        // A renewed certificate is taken; one that cannot be read leaves the old one in use.
        auto identity = common::TlsServerContext::load(options_.tlsCert, options_.tlsKey);
        if (identity) {
            identity_ = *identity;
            relay_.setTlsIdentity(identity_);
        } else {
            outcome.keep("tlscert", identity.why());
            options_.tlsCert = old.tlsCert;
            options_.tlsKey = old.tlsKey;
        }
    }
    if (listening() && options.tlsPort != old.tlsPort) {
        const QString bind = QString::fromStdString(options_.bind);
        QString why;
        if (!options.tlsPort) {
            relay_.stopListeningTls();
            options_.tlsPort = 0;
        } else if (relay_.moveTlsListener(bind, options.tlsPort, &why)) {
            options_.tlsPort = options.tlsPort;
        } else {
            outcome.keep("tlsport", "cannot listen on " +
                                        common::hostAndPort(options_.bind.empty() ? "0.0.0.0" : options_.bind,
                                                            options.tlsPort) +
                                        ": " + why.toStdString());
        }
    }
    // A map that cannot be read leaves the one in use, and says why.
    const std::shared_ptr<const PopMap> kept = map_;
    if (const QString why = loadMap(); !why.isEmpty()) {
        map_ = kept;
        outcome.keep("popmap", why.toStdString());
    }
    applyServerPolicy();
    return outcome;
}

SessionWindow::~SessionWindow() {
    unload();
}

void SessionWindow::load() {
    if (tracing_) trace(Text1, -1, "new session\r\n");
    serverPort_ = options_.serverPort;
    relay_.releaseAll();
    startListening();
}

QString SessionWindow::listenDescription() const {
    QString where = options_.bind.empty()
                        ? QStringLiteral("port %1").arg(options_.port)
                        : QStringLiteral("%1:%2").arg(QString::fromStdString(options_.bind)).arg(options_.port);
    if (options_.tlsPort) where += QStringLiteral(", POP3S %1").arg(options_.tlsPort);
    return where;
}

bool SessionWindow::listening() const {
    return relay_.listening();
}

bool SessionWindow::startListening() {
    if (listening()) return true;
    if (!mapError_.isEmpty() && tlsError_.isEmpty()) tlsError_ = mapError_;
    if (!tlsError_.isEmpty()) {
        // A certificate that cannot be had is not a reason to take logins in the clear.
        listenError_ = QStringLiteral("Not listening: %1").arg(tlsError_);
        common::LogLine(common::LogLevel::error, "listen").field("outcome", tlsError_.toStdString());
        emit listenerStatus(listenError_);
        return false;
    }
    applyServerPolicy();
    QString why;
    const QString bind = QString::fromStdString(options_.bind);
    int failed = options_.port;
    if (relay_.listen(bind, options_.port, &why) &&
        (!options_.tlsPort || (failed = options_.tlsPort, relay_.listenTls(bind, options_.tlsPort, &why)))) {
        listenError_.clear();
        emit listenerStatus(QString());
        common::LogLine(common::LogLevel::info, "listening")
            .field("address", common::hostAndPort(options_.bind.empty() ? "0.0.0.0" : options_.bind, options_.port))
            .field("pop3s", options_.tlsPort ? common::hostAndPort(options_.bind.empty() ? "0.0.0.0" : options_.bind,
                                                                    options_.tlsPort)
                                             : std::string("off"))
            .field("stls", options_.tlsCert.empty() ? "off" : "on")
            .field("clients", options_.allowClientsText)
            .field("map", options_.mapFile.empty() ? std::string("none") : options_.mapFile);
        return true;
    }
    relay_.stopListening();
    const QString where = options_.bind.empty()
                              ? QString::number(failed)
                              : QStringLiteral("%1:%2").arg(bind).arg(failed);
    listenError_ = QStringLiteral("Not listening: cannot open port %1 (%2)").arg(where, why);
    common::LogLine(common::LogLevel::error, "listen")
        .field("outcome", QStringLiteral("cannot listen on port %1: %2").arg(where, why).toStdString());
    emit listenerStatus(listenError_);
    return false;
}

void SessionWindow::listenerFailed(const QString &) {
    // The listener is gone; "Start Proxy" opens it again.
    listenError_ = QStringLiteral("Not listening: the listener failed; choose Start Proxy");
    common::LogLine(common::LogLevel::error, "listen").field("outcome", "the listener failed");
    emit listenerStatus(listenError_);
}

common::ServiceFigures SessionWindow::figures() const {
    common::ServiceFigures f;
    f.open = relay_.count();
    f.handled = logins_;
    f.handledNoun = "logins";
    f.refusedLastMinute = refusals_.lastMinute(common::RelayShell::now() / 1000);
    return f;
}

void SessionWindow::refusedClient(const QString &peer, const QString &why) {
    refusals_.add(common::RelayShell::now() / 1000);
    common::LogLine(common::LogLevel::info, "refused")
        .field("client", peer.toStdString())
        .field("reason", why.toStdString());
    emit refusalsChanged(relay_.refusedClients(), refusedServers());
}

void SessionWindow::refusedServer(int, const QString &) {
    // The login's own line names the server and the reason.
    emit refusalsChanged(relay_.refusedClients(), refusedServers());
}

void SessionWindow::refusedLogin(int slot, const RefusedLogin &login) {
    ++refusedLogins_;
    relay_.countHandled("refused");
    refusals_.add(common::RelayShell::now() / 1000);
    common::LogLine(common::LogLevel::info, "login")
        .field("client", relay_.peer(slot).toStdString())
        .field("user", login.loginName)
        .field("server", login.serverName)
        .field("outcome", "refused")
        .field("reason", login.reason);
    emit refusalsChanged(relay_.refusedClients(), refusedServers());
}

namespace {
// "client+server", "client", "server" or "no": which legs are under TLS.
const char *tlsLegs(const LoginRules &r) {
    const bool c = r.clientTls(), s = r.serverEncrypted();
    return c && s ? "client+server" : c ? "client" : s ? "server" : "no";
}
}  // namespace

void SessionWindow::relaying(int slot) {
    const auto *r = dynamic_cast<const LoginRules *>(relay_.rules(slot));
    if (!r) return;
    ++logins_;
    relay_.countHandled("ok");
    common::LogLine(common::LogLevel::info, "login")
        .field("client", relay_.peer(slot).toStdString())
        .field("user", r->userName())
        .field("server", r->serverPart())
        .field("tls", tlsLegs(*r))
        .field("outcome", "ok");
}

void SessionWindow::released(int slot, const common::SlotStats &stats) {
    const auto *r = dynamic_cast<const LoginRules *>(relay_.rules(slot));
    if (!r) return;
    const std::string client = stats.peer.toStdString();
    if (!stats.relayed && !r->serverPart().empty()) {
        // A login whose server could not be used: the client was told only that.
        common::LogLine line(common::LogLevel::info, "login");
        line.field("client", client)
            .field("user", r->userName())
            .field("server", r->serverPart())
            .field("tls", tlsLegs(*r))
            .field("outcome", "server unavailable");
        line.field("reason", !r->refusal().empty()     ? r->refusal()
                             : !stats.failure.isEmpty() ? stats.failure.toStdString()
                                                        : std::string(stats.transition));
        return;
    }
    common::LogLine line(common::LogLevel::info, "session");
    line.field("client", client);
    if (stats.relayed) line.field("user", r->userName()).field("server", r->serverPart());
    line.field("from_client", stats.fromClient)
        .field("from_server", stats.fromServer)
        .field("ms", stats.millis)
        .field("end", stats.relayed ? stats.transition : "no login");
}

void SessionWindow::encrypted(int i, common::Side side, const QString &info) {
    if (!tracing_) return;
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
            masks_[std::size_t(i)].apply(bytes, tracing_ ? common::TraceBox::kPerShow : 0);
        if (tracing_) trace(Text1, i, masked);
    } else if (tracing_) {
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
