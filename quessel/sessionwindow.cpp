#include "quessel/sessionwindow.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTimer>
#include <cstdio>

#include "common/controls.h"
#include "common/tracetext.h"

namespace quessel {

namespace {
// Each trace box keeps this much of its tail.
constexpr std::size_t kTraceTail = 64 * 1024;
constexpr int kTraceRepaintMs = 100;
}  // namespace

struct SessionWindow::Slot {
    Session session;
    bool clientEnded = false;  // the client has sent its end of stream
    bool serverEnded = false;
    // The server's greeting deadline, later the wait for the second side to end; none when unset.
    Clock::time_point deadline = Clock::time_point::max();
    // Follows everything the client sends, traced or not, so that a trace switched on in the
    // middle of a session still never shows a password.
    common::SecretMask mask = common::pop3ClientMask();
};

SessionWindow::SessionWindow(const Options &options, QWidget *parent)
    : QWidget(parent), options_(options) {
    common::name(this, "quessel");
    setWindowTitle(QStringLiteral("quessel"));

    socki = new common::SocketArray(QStringLiteral("socki"), this);
    socke = new common::SocketArray(QStringLiteral("socke"), this);

    Text1 = new QPlainTextEdit(this);
    Text2 = new QPlainTextEdit(this);
    common::place(Text1, "Text1", 120, 360, 2175, 4215);
    common::place(Text2, "Text2", 2400, 360, 5055, 4215);
    Text1->setAccessibleName(QStringLiteral("Client trace"));
    Text2->setAccessibleName(QStringLiteral("Server trace"));
    for (QPlainTextEdit *box : {Text1, Text2}) {
        box->setReadOnly(true);
        box->setLineWrapMode(QPlainTextEdit::NoWrap);
        box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    }
    traceTimer_ = new QTimer(this);
    traceTimer_->setSingleShot(true);
    traceTimer_->setInterval(kTraceRepaintMs);
    connect(traceTimer_, &QTimer::timeout, this, &SessionWindow::flushTraces);
    sweep_ = new QTimer(this);
    sweep_->setInterval(kSweepMs);
    connect(sweep_, &QTimer::timeout, this, &SessionWindow::sweep);

    using common::SocketArray;
    connect(socki, &SocketArray::ConnectionRequest, this, &SessionWindow::socki_ConnectionRequest);
    connect(socki, &SocketArray::DataArrival, this,
            [this](int i, qint64) { socki_DataArrival(i); });
    connect(socki, &SocketArray::Close, this, &SessionWindow::socki_Close);
    connect(socki, &SocketArray::Error, this,
            [this](int i, int, const QString &why) { socki_Error(i, why); });
    connect(socki, &SocketArray::SendComplete, this, &SessionWindow::socki_SendComplete);
    connect(socke, &SocketArray::Connect, this, &SessionWindow::socke_Connect);
    connect(socke, &SocketArray::DataArrival, this,
            [this](int i, qint64) { socke_DataArrival(i); });
    connect(socke, &SocketArray::Close, this, &SessionWindow::socke_Close);
    connect(socke, &SocketArray::Error, this,
            [this](int i, int, const QString &why) { socke_Error(i, why); });
    connect(socke, &SocketArray::SendComplete, this, &SessionWindow::socke_SendComplete);
}

SessionWindow::~SessionWindow() {
    unload();
}

void SessionWindow::load() {
    if (tracing) trace(0, -1, "new session\r\n");
    serverport = options_.serverPort;
    for (int i = 1; i <= socki->UBound(); ++i) releaseslot(i);
    startListening();
}

bool SessionWindow::listening() const {
    return (*socki)[0].State() == common::Socket::sckListening;
}

bool SessionWindow::startListening() {
    if (listening()) return true;
    common::Socket &l = (*socki)[0];
    l.LocalPort = options_.port;
    l.LocalIP = QString::fromStdString(options_.bind);
    QString why;
    if (l.Listen(&why)) {
        listenError_.clear();
        emit listenerStatus(QString());
        return true;
    }
    const QString where = options_.bind.empty()
                              ? QString::number(options_.port)
                              : QStringLiteral("%1:%2").arg(l.LocalIP).arg(options_.port);
    listenError_ = QStringLiteral("Not listening: cannot open port %1 (%2)").arg(where, why);
    std::fprintf(stderr, "quessel: %s\n", listenError_.toLocal8Bit().constData());
    emit listenerStatus(listenError_);
    return false;
}

SessionWindow::Slot *SessionWindow::slotAt(int i) const {
    if (i < 1 || std::size_t(i) >= slots_.size()) return nullptr;
    return slots_[std::size_t(i)].get();
}

// ---- the listener -----------------------------------------------------------------------------

void SessionWindow::socki_ConnectionRequest(int, qintptr requestID) {
    // The lowest free index wins, so ended sessions' indices are used again first.
    int n = socki->UBound() + 1;
    for (int i = 1; i <= socki->UBound(); ++i) {
        if (!socki->exists(i)) {
            n = i;
            break;
        }
    }
    if (n > kMaxSlots) return;  // not accepting it refuses the connection
    if (socke->exists(n)) socke->Unload(n);
    if (!socki->Load(n)) return;
    if (!(*socki)[n].Accept(requestID)) {
        socki->Unload(n);
        return;
    }
    if (std::size_t(n) >= slots_.size()) slots_.resize(std::size_t(n) + 1);
    slots_[std::size_t(n)] = std::make_unique<Slot>();
    setDeadline(*slots_[std::size_t(n)], std::chrono::seconds(kLoginIdleSeconds));
    (*socki)[n].SendData(kGreeting);
}

// ---- client side ------------------------------------------------------------------------------

void SessionWindow::socki_DataArrival(int i) {
    Slot *s = slotAt(i);
    common::Socket *client = socki->at(i);
    if (!s || !client || i == 0) return;
    const std::string_view data = client->peekData();

    if (s->session.phase() == Session::Phase::Relaying) {
        common::Socket *server = socke->at(i);
        if (!server) {
            releaseslot(i);
            return;
        }
        trace(0, i, data);
        server->SendData(data);
        client->consumeData();
        if (server->unsent() > kMaxUnsent) client->setReadPaused(true);
        return;
    }

    ClientStep step = s->session.fromClient(data);
    client->consumeData();
    if (s->session.phase() == Session::Phase::Greeted)
        setDeadline(*s, std::chrono::seconds(kLoginIdleSeconds));
    if (!step.reply.empty()) client->SendData(step.reply);
    if (step.close) {
        releaseslot(i);
        return;
    }
    if (step.connect) {
        if (socke->exists(i)) socke->Unload(i);
        socke->Load(i);
        common::Socket &server = (*socke)[i];
        server.RemoteHost = QString::fromStdString(step.host);
        server.RemotePort = serverport;
        server.Connect();
        setDeadline(*s, std::chrono::seconds(options_.serverTimeout));
    }
    // Input held for a server that is still being reached stays bounded.
    if (s->session.phase() == Session::Phase::Connecting &&
        qint64(s->session.held().size()) > kMaxUnsent)
        client->setReadPaused(true);
}

void SessionWindow::socki_Close(int i) {
    Slot *s = slotAt(i);
    if (!s) {
        if (socki->exists(i)) socki->Unload(i);
        return;
    }
    switch (s->session.phase()) {
        case Session::Phase::Greeted:
        case Session::Phase::Ended:
            releaseslot(i);
            return;
        case Session::Phase::Connecting:
            // Passed on once the server has what the client sent.
            s->clientEnded = true;
            return;
        case Session::Phase::Relaying:
            s->clientEnded = true;
            if (common::Socket *server = socke->at(i)) server->ShutdownSend();
            if (s->serverEnded)
                releaseslot(i);
            else if (s->session.serverGreeted())
                startLinger(*s);
            return;
    }
}

void SessionWindow::socki_Error(int i, const QString &) {
    if (i == 0) {
        // The listener is gone; "Start Proxy" opens it again.
        (*socki)[0].Close();
        listenError_ = QStringLiteral("Not listening: the listener failed; choose Start Proxy");
        emit listenerStatus(listenError_);
        return;
    }
    releaseslot(i);
}

void SessionWindow::socki_SendComplete(int i) {
    // The client has taken what the server sent: read the server again.
    if (common::Socket *server = socke->at(i); server && server->readPaused())
        server->setReadPaused(false);
}

// ---- server side ------------------------------------------------------------------------------

void SessionWindow::socke_Connect(int i) {
    Slot *s = slotAt(i);
    common::Socket *client = socki->at(i);
    if (!s || !client) {
        releaseslot(i);
        return;
    }
    common::Socket &server = (*socke)[i];
    trace(0, i, s->session.userPart());
    const std::size_t userLength = s->session.userPart().size();
    const std::string first = s->session.takeForServer();
    if (first.size() > userLength) trace(0, i, std::string_view(first).substr(userLength));
    server.SendData(first);
    if (s->clientEnded)
        server.ShutdownSend();
    else
        client->setReadPaused(server.unsent() > kMaxUnsent);
}

void SessionWindow::socke_DataArrival(int i) {
    Slot *s = slotAt(i);
    common::Socket *server = socke->at(i);
    common::Socket *client = socki->at(i);
    if (!server) return;
    if (!s || !client) {
        releaseslot(i);
        return;
    }
    std::string_view data = server->peekData();
    if (!s->session.serverGreeted()) {
        ServerStep step = s->session.fromServer(data);
        if (step.kind == ServerStep::Wait) {
            server->consumeData();
            return;
        }
        if (step.kind == ServerStep::Refuse) {
            server->consumeData();
            refuse(i, step.reply);
            return;
        }
        // Greeted: the deadline now only bounds a half-ended slot.
        s->deadline = Clock::time_point::max();
        if (s->clientEnded) startLinger(*s);
        data = step.forClient;
    }
    if (!data.empty()) {
        trace(1, i, data);
        client->SendData(data);
    }
    server->consumeData();
    if (client->unsent() > kMaxUnsent) server->setReadPaused(true);
}

void SessionWindow::socke_Close(int i) {
    Slot *s = slotAt(i);
    if (!s) {
        releaseslot(i);
        return;
    }
    if (!s->session.serverGreeted()) {
        refuse(i, closedBeforeGreetingReply(s->session.serverPart()));
        return;
    }
    s->serverEnded = true;
    if (common::Socket *client = socki->at(i)) client->ShutdownSend();
    if (s->clientEnded)
        releaseslot(i);
    else
        startLinger(*s);
}

void SessionWindow::socke_Error(int i, const QString &description) {
    Slot *s = slotAt(i);
    if (s && !s->session.serverGreeted()) {
        refuse(i, unreachableReply(s->session.serverPart(), description.toStdString()));
        return;
    }
    releaseslot(i);
}

void SessionWindow::socke_SendComplete(int i) {
    if (common::Socket *client = socki->at(i); client && client->readPaused())
        client->setReadPaused(false);
}

// ---- slot ends --------------------------------------------------------------------------------

void SessionWindow::onDeadline(int i) {
    Slot *s = slotAt(i);
    if (!s) return;
    if (s->session.phase() == Session::Phase::Greeted)
        refuse(i, loginIdleReply(kLoginIdleSeconds / 60));
    else if (!s->session.serverGreeted())
        refuse(i, greetingTimeoutReply(s->session.serverPart(), options_.serverTimeout));
    else
        releaseslot(i);
}

void SessionWindow::startLinger(Slot &s) {
    if (s.deadline == Clock::time_point::max())
        setDeadline(s, std::chrono::milliseconds(kHalfCloseLingerMs));
}

void SessionWindow::setDeadline(Slot &s, Clock::duration in) {
    s.deadline = Clock::now() + in;
    if (!sweep_->isActive()) sweep_->start();
}

void SessionWindow::sweep() {
    // One timer for every slot: setting up a timer per session costs more than the session's relay.
    const Clock::time_point now = Clock::now();
    bool pending = false;
    for (std::size_t i = 1; i < slots_.size(); ++i) {
        Slot *s = slots_[i].get();
        if (!s || s->deadline == Clock::time_point::max()) continue;
        if (s->deadline <= now)
            onDeadline(int(i));
        else
            pending = true;
    }
    if (!pending) sweep_->stop();
}

void SessionWindow::refuse(int i, const std::string &reply) {
    if (common::Socket *client = socki->at(i)) client->SendData(reply);
    releaseslot(i);
}

void SessionWindow::releaseslot(int i) {
    if (i < 1) return;
    // Close writes out what is still queued before the connection goes.
    if (common::Socket *client = socki->at(i)) {
        client->Close();
        socki->Unload(i);
    }
    if (common::Socket *server = socke->at(i)) {
        server->Close();
        socke->Unload(i);
    }
    if (slotAt(i)) slots_[std::size_t(i)].reset();
}

void SessionWindow::unload() {
    for (int i = socki->UBound(); i >= 1; --i) releaseslot(i);
    for (int i = socke->UBound(); i >= 1; --i) releaseslot(i);
    (*socki)[0].Close();
}

// ---- trace ------------------------------------------------------------------------------------

void SessionWindow::trace(int box, int i, std::string_view text) {
    std::string masked;
    if (Slot *s = box == 0 && i > 0 ? slotAt(i) : nullptr) {
        masked = s->mask.apply(text, tracing ? kTraceTail : 0);
        text = masked;
    }
    if (!tracing) return;
    // Only the tail is kept: what would be cut off anyway is not escaped first.
    if (text.size() > kTraceTail) text.remove_prefix(text.size() - kTraceTail);
    std::string &tail = traceTail_[box];
    if (i >= 0) tail.append(std::to_string(i)).append(": ");
    tail.append(common::escapecontrols(text, {.keephigh = true, .keeplineends = true}));
    if (tail.size() > kTraceTail) tail.erase(0, tail.size() - kTraceTail);
    if (!traceTimer_->isActive()) traceTimer_->start();
}

void SessionWindow::flushTraces() {
    QPlainTextEdit *boxes[2] = {Text1, Text2};
    for (int b = 0; b < 2; ++b) {
        const QString text =
            QString::fromLatin1(traceTail_[b].data(), qsizetype(traceTail_[b].size()));
        if (boxes[b]->toPlainText() == text) continue;
        boxes[b]->setPlainText(text);
        boxes[b]->verticalScrollBar()->setValue(boxes[b]->verticalScrollBar()->maximum());
    }
}

}  // namespace quessel
