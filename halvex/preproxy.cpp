#include "halvex/preproxy.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include "common/controls.h"
#include "halvex/blocklist.h"
#include "halvex/filters.h"
#include "halvex/inspect.h"
#include "halvex/mdiform1.h"
#include "halvex/trace.h"

namespace halvex {

using common::Socket;
using common::SocketArray;

namespace {

const QString kKey = QStringLiteral("HKLM\\SOFTWARE\\Tessaruno\\");

// A side is not read while its partner's send buffer has less room than this.
constexpr qint64 kMinRoom = 16 * 1024;

std::string toBytes(const QString &s) {
    const QByteArray b = s.toUtf8();
    return std::string(b.constData(), size_t(b.size()));
}

// A port typed into a box: a whole number from 0 to 65535, or -1.
int portOf(const QString &text) {
    bool ok = false;
    const int p = text.trimmed().toInt(&ok);
    return ok && p >= 0 && p <= 65535 ? p : -1;
}

}  // namespace

PreProxy::PreProxy(MDIForm1 *main, QWidget *parent) : QWidget(parent), main_(main) {
    common::name(this, "PreProxy");
    setWindowTitle(QStringLiteral("PreProxy"));
    buildControls();

    connect(&intern, &SocketArray::ConnectionRequest, this, &PreProxy::onConnectionRequest);
    connect(&intern, &SocketArray::DataArrival, this, [this](int i, qint64) { onClientData(i); });
    connect(&intern, &SocketArray::Close, this, &PreProxy::onClientClose);
    connect(&intern, &SocketArray::Error, this,
            [this](int i, int, const QString &) { onError(i); });
    connect(&intern, &SocketArray::SendComplete, this,
            [this](int i) { onSendComplete(intern, i); });
    connect(&extern_, &SocketArray::Connect, this, &PreProxy::onUpstreamConnect);
    connect(&extern_, &SocketArray::DataArrival, this,
            [this](int i, qint64) { onUpstreamData(i); });
    connect(&extern_, &SocketArray::Close, this, &PreProxy::onUpstreamClose);
    connect(&extern_, &SocketArray::Error, this,
            [this](int i, int, const QString &) { onError(i); });
    connect(&extern_, &SocketArray::SendComplete, this,
            [this](int i) { onSendComplete(extern_, i); });

    // HALVEX_HALFCLOSE_SECONDS: how long a half-ended connection may stay silent (default 60).
    bool ok = false;
    int halfClose = qEnvironmentVariableIntValue("HALVEX_HALFCLOSE_SECONDS", &ok);
    if (!ok || halfClose < 1) halfClose = 60;
    const int sweep = std::min(halfClose, 5);
    halfCloseSweeps_ = (halfClose + sweep - 1) / sweep;
    sweepTimer_.setInterval(sweep * 1000);
    connect(&sweepTimer_, &QTimer::timeout, this, &PreProxy::sweepHalfClosed);
    sweepTimer_.start();

    showTimer_.setSingleShot(true);
    showTimer_.setInterval(100);
    connect(&showTimer_, &QTimer::timeout, this, &PreProxy::showCounters);

    load();
}

PreProxy::~PreProxy() {
    teardown();
}

void PreProxy::closeEvent(QCloseEvent *event) {
    teardown();
    event->accept();
}

// ---------------------------------------------------------------------------------------------------
// Window

void PreProxy::buildControls() {
    auto trace = [this](TraceBox *&w, const char *n, const char *what, int l, int t, int wd,
                        int h) {
        w = new TraceBox(this);
        common::place(w, n, l, t, wd, h);
        w->setAccessibleName(QString::fromLatin1(what));
        w->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        w->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    };

    Label1 = common::make<QLabel>(this, "Label1", "ListenPort", 120, 120, 855, 255);
    internport =
        common::make<QLineEdit>(this, "internport", "8080", 3120, 120, 495, 285, "Listen port");
    Label2 = common::make<QLabel>(this, "Label2", "Proxy", 120, 480, 735, 255);
    externproxy = common::make<QLineEdit>(this, "externproxy", "Please enter yor Proxy IP", 1080,
                                          480, 1935, 285, "Upstream proxy host");
    externport = common::make<QLineEdit>(this, "externport", "8080", 3120, 480, 495, 285,
                                         "Upstream proxy port");
    Label3 = common::make<QLabel>(this, "Label3", "Peak:", 3720, 120, 615, 255);
    peak = common::make<QLabel>(this, "peak", "0", 4440, 120, 255, 255);
    Label4 = common::make<QLabel>(this, "Label4", "Sockets:", 3720, 480, 735, 255);
    sockets = common::make<QLabel>(this, "sockets", "0", 4440, 480, 375, 255);
    Command1 = common::make<QPushButton>(this, "Command1", "start", 120, 840, 1095, 375);
    Command2 = common::make<QPushButton>(this, "Command2", "disconnect all", 1320, 840, 1335, 375);
    Command3 = common::make<QPushButton>(this, "Command3", "clear", 2760, 840, 855, 375);
    cookie = common::make<QCheckBox>(this, "cookie", "Remove all Cookies", 5040, 120, 1815, 255);
    blockme = common::make<QCheckBox>(this, "blockme", "Block (disconnect)", 5040, 480, 2175, 255);
    sendempty =
        common::make<QCheckBox>(this, "sendempty", "Block (send empty)", 5040, 840, 1815, 255);
    rpictures = common::make<QCheckBox>(this, "rpictures", "Remove Pictures", 6960, 120, 1575, 255);
    Text2 = common::make<QLineEdit>(this, "Text2", "", 120, 1320, 7815, 375, "Block list entry");
    addurl = common::make<QPushButton>(this, "addurl", "add", 8040, 1320, 1455, 375);
    block = new QListWidget(this);
    common::place(block, "block", 120, 1800, 7815, 1230);
    block->setAccessibleName(QStringLiteral("Block list"));
    removeurl = common::make<QPushButton>(this, "removeurl", "Remove", 8040, 1800, 1455, 375);
    AutoFormat = common::make<QPushButton>(this, "AutoFormat", "AutoFormat", 8040, 2280, 1455, 375);
    urls = new UrlList(kMaxUrls, this);
    common::place(urls, "urls", 120, 3240, 9255, 1815);
    urls->setAccessibleName(QStringLiteral("Requested addresses"));
    trace(Text1, "Text1", "Request log", 120, 5400, 9255, 1095);
    trace(interntrace, "interntrace", "Client to upstream trace", 120, 6600, 3495, 2295);
    trace(externtrace, "externtrace", "Upstream to client trace", 3720, 6600, 5655, 2295);
    hilfe = common::make<QLabel>(this, "hilfe", "", 120, 5400, 9255, 3495);
    hilfe->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    hilfe->setWordWrap(true);

    Command2->setEnabled(false);
    setMinimumSize(common::twipsToPixels(9555), common::twipsToPixels(8970));

    connect(Command1, &QPushButton::clicked, this, &PreProxy::onStart);
    connect(Command2, &QPushButton::clicked, this, &PreProxy::onDisconnectAll);
    connect(Command3, &QPushButton::clicked, this, &PreProxy::onClear);
    connect(cookie, &QCheckBox::toggled, this, &PreProxy::onCookieClick);
    connect(blockme, &QCheckBox::toggled, this, [this](bool t) {
        fBlockme_ = t;
        onSwitchClick("headerfilter", t);
    });
    connect(sendempty, &QCheckBox::toggled, this, [this](bool t) {
        fSendempty_ = t;
        onSwitchClick("empty", t);
    });
    connect(rpictures, &QCheckBox::toggled, this, [this](bool t) {
        fRpictures_ = t;
        onSwitchClick("pic", t);
    });
    connect(addurl, &QPushButton::clicked, this, &PreProxy::onAddUrl);
    connect(block, &QListWidget::itemClicked, this, &PreProxy::onBlockClick);
    connect(removeurl, &QPushButton::clicked, this, &PreProxy::onRemoveUrl);
    connect(AutoFormat, &QPushButton::clicked, this, &PreProxy::onAutoFormat);
    connect(urls, &UrlList::entryDoubleClicked, this, &PreProxy::onUrlsDoubleClick);
}

void PreProxy::load() {
    debugmode = 0;
    bool ok = false;
    const short d = main_->regread(kKey + "debug").toShort(&ok);
    debugmode = !ok || d == 1 ? 1 : 0;

    externport->setText(main_->regread(kKey + "proxyport"));
    internport->setText(main_->regread(kKey + "plistenport"));
    externproxy->setText(main_->regread(kKey + "proxyip"));

    // Setting a box runs its click handler, which stores the setting again.
    cookiemarker = toBytes(main_->regread(kKey + "cookie"));
    cookie->setChecked(!cookiemarker.empty());
    blockme->setChecked(!main_->regread(kKey + "headerfilter").isEmpty());
    sendempty->setChecked(!main_->regread(kKey + "empty").isEmpty());
    rpictures->setChecked(!main_->regread(kKey + "pic").isEmpty());

    const bool debug = debugmode == 1;
    externtrace->setVisible(debug);
    interntrace->setVisible(debug);
    Text1->setVisible(debug);
    Command3->setVisible(debug);
    hilfe->setVisible(!debug);
    if (!debug)
        hilfe->setText(QStringLiteral(
            "halvex\r\n"
            "\r\n"
            "This Proxy can be used for ANY Protocol - not ONLY http proxy.\r\n"
            "Please enter local listen PORT and your remote Proxy IP and PORT and press start.\r\n"
            "Further features are built on request: ask your tessaruno administrator.\r\n"
            "\r\n"
            "Real-time filtering and archiving options: see the tessaruno README.\r\n"));
}

bool PreProxy::running() const {
    return !Command1->isEnabled();
}

void PreProxy::onStart() {
    startlistening();
    // A port that cannot be opened leaves the window stopped; the reason is in the status bar.
    if (intern[0].State() == Socket::sckListening) {
        Command2->setEnabled(true);
        Command1->setEnabled(false);
    }
    main_->regwrite_sz(kKey + "proxyport", externport->text());
    main_->regwrite_sz(kKey + "plistenport", internport->text());
    main_->regwrite_sz(kKey + "proxyip", externproxy->text());
}

void PreProxy::onDisconnectAll() {
    disconnectall();
    Command2->setEnabled(false);
    Command1->setEnabled(true);
}

void PreProxy::onClear() {
    Text1->clear();
    interntrace->clear();
    externtrace->clear();
}

// ---------------------------------------------------------------------------------------------------
// Slots

void PreProxy::startlistening() {
    fresh.fill(true);
    for (int j = 1; j <= intern.UBound(); ++j)
        if (Socket *s = intern.at(j); s && s->State() != 0) s->Close();

    Socket &listener = intern[0];
    listener.Close();
    const int port = portOf(internport->text());
    QString why;
    if (port < 0) {
        why = QStringLiteral("cannot listen on port %1: not a port number").arg(internport->text());
    } else {
        listener.LocalIP = bind_;
        listener.LocalPort = port;
        if (!listener.Listen(&why))
            why = QStringLiteral("cannot listen on port %1: %2").arg(port).arg(why);
        else
            why.clear();
    }
    main_->setStatusText(why);

    Socket &tmpl = extern_[0];
    if (const int p = portOf(externport->text()); p >= 0) tmpl.RemotePort = p;
    tmpl.RemoteHost = externproxy->text();
    for (int j = 1; j <= extern_.UBound(); ++j)
        if (Socket *s = extern_.at(j); s && s->State() != 0) s->Close();
}

void PreProxy::disconnectall() {
    const int top = std::max(intern.UBound(), extern_.UBound());
    for (int j = 0; j <= top; ++j) {
        if (Socket *s = intern.at(j)) s->Close();
        if (Socket *s = extern_.at(j)) s->Close();
        intern.Unload(j);
        extern_.Unload(j);
        if (j <= kMaxSlot) slot_[size_t(j)] = SlotState{};
    }
}

void PreProxy::teardown() {
    if (tornDown_) return;
    disconnectall();
    for (std::string &p : pending) std::string().swap(p);
}

void PreProxy::releaseslot(int i) {
    if (i < 0 || i > kMaxSlot) return;
    fresh[size_t(i)] = true;
    if (Socket *s = intern.at(i)) s->Close();
    if (Socket *s = extern_.at(i)) s->Close();
    extern_.Unload(i);
    intern.Unload(i);
    std::string().swap(pending[size_t(i)]);
    slot_[size_t(i)] = SlotState{};
}

void PreProxy::onConnectionRequest(int, qintptr requestID) {
    // The lowest free slot: every index below the highest is probed, else the next one up.
    const int u = intern.UBound();
    int slot = u + 1;
    for (int i = 1; i < u; ++i)
        if (!intern.exists(i)) {
            slot = i;
            break;
        }
    // Beyond the tables: refused (the listener closes a request nobody accepted).
    if (slot > kMaxSlot) return;
    intern.Load(slot);
    Socket &listener = intern[0];
    clienthost[size_t(slot)] =
        listener.RemoteHost.isEmpty() ? listener.RemoteHostIP() : listener.RemoteHost;
    intern[slot].Accept(requestID);
    slot_[size_t(slot)] = SlotState{};
    socketsValue_ = slot;
    showLater();
}

void PreProxy::onClientClose(int i) {
    if (i > kMaxSlot) return;
    SlotState &s = slot_[size_t(i)];
    Socket *up = extern_.at(i);
    if (!up || up->State() == Socket::sckClosed || up->State() == Socket::sckError) {
        releaseslot(i);
        return;
    }
    // The client has said all it will say; the upstream hears the same once its queue is out, and
    // the answer still comes back.
    s.clientDone = true;
    if (up->State() == Socket::sckConnected || up->State() == Socket::sckClosing)
        up->ShutdownSend();
    if (s.upstreamDone) releaseslot(i);
}

void PreProxy::onUpstreamClose(int i) {
    if (i > kMaxSlot) return;
    SlotState &s = slot_[size_t(i)];
    s.upstreamDone = true;
    if (Socket *c = intern.at(i)) c->ShutdownSend();
    if (s.clientDone || !intern.exists(i)) releaseslot(i);
}

void PreProxy::sweepHalfClosed() {
    const int top = std::min(intern.UBound(), kMaxSlot);
    for (int i = 1; i <= top; ++i) {
        SlotState &s = slot_[size_t(i)];
        if (!(s.clientDone || s.upstreamDone) || !intern.exists(i)) continue;
        s.quietSweeps = s.moved ? 0 : s.quietSweeps + 1;
        s.moved = false;
        if (s.quietSweeps >= halfCloseSweeps_) releaseslot(i);
    }
}

void PreProxy::onError(int i) {
    // On the listener this also closes it; a running proxy then starts listening again.
    releaseslot(i);
    if (i == 0 && running()) {
        startlistening();
        if (intern[0].State() != Socket::sckListening) {
            Command2->setEnabled(false);
            Command1->setEnabled(true);
        }
    }
    if (i >= 0 && i <= kMaxSlot) std::string().swap(pending[size_t(i)]);
}

void PreProxy::onSendComplete(SocketArray &drained, int i) {
    // The side that was held back while this one could take nothing may be read again.
    SocketArray &source = &drained == &extern_ ? intern : extern_;
    Socket *s = source.at(i);
    if (!s) return;
    s->setReadPaused(false);
    if (Socket *sink = drained.at(i)) s->setReadLimit(sink->sendRoom());
}

// ---------------------------------------------------------------------------------------------------
// Relay

void PreProxy::onClientData(int i) {
    Socket *client = intern.at(i);
    if (!client || i > kMaxSlot) return;

    if (fresh[size_t(i)]) {
        // First data: it opens the upstream connection and waits for it.
        if (Socket *old = extern_.at(i); old && old->State() != 0) old->Close();
        extern_.Load(i);
        Socket &up = extern_[i];
        up.RemoteHost = externproxy->text();
        if (const int p = portOf(externport->text()); p >= 0) up.RemotePort = p;
        client->GetData(pending[size_t(i)]);
        // Whatever the client sends next waits in the kernel, in order, until the upstream
        // connection is there to take it.
        client->setReadPaused(true);
        up.Connect();
        fresh[size_t(i)] = false;
        return;
    }

    Socket *up = extern_.at(i);
    if (!up || (up->State() != Socket::sckConnected && up->State() != Socket::sckClosing)) {
        client->consumeData();
        return;
    }

    std::string_view d = client->peekData();
    // A kept-alive browser sends its next request on the same connection: it is logged and
    // filtered like the first one.
    if (d.size() > 4 && d.compare(0, 4, "GET ") == 0) {
        const std::string target = latertarget(d);
        if (!target.empty()) {
            scratch_.assign(d);
            client->consumeData();
            if (inspectrequest(i, scratch_, target)) {
                releaseslot(i);
                return;
            }
            sendupstream(i, scratch_);
            return;
        }
    }
    sendupstream(i, d);
    client->consumeData();
}

void PreProxy::sendupstream(int i, std::string_view d) {
    Socket *up = extern_.at(i);
    Socket *client = intern.at(i);
    if (!up || !client) return;
    slot_[size_t(i)].moved = true;
    up->SendData(d);
    holdback(*client, *up);
    if (debugmode == 1) {
        std::string t = "--- start sending extern ---\r\n" + std::to_string(i) + ": ";
        interntrace->append(t);
        interntrace->append(slot_[size_t(i)].mask.apply(d, TraceBox::kPerShow));
        interntrace->append("\r\n--- end send extern ---\r\n");
    }
}

bool PreProxy::inspectrequest(int i, std::string &text, const std::string &target) {
    logurl(i, target);
    FilteredRequest r = filterrequest(
        text, RequestSettings{fCookie_, fBlockme_, block_, std::string_view(cookiemarker)});
    text = std::move(r.text);
    return r.release;
}

void PreProxy::logurl(int i, const std::string &target) {
    const std::string shown = escapecontrols(target);
    urls->append(clienthost[size_t(i)] + QStringLiteral(": ") +
                 QString::fromLatin1(shown.data(), qsizetype(shown.size())));
}

void PreProxy::raisepeak(int i) {
    if (i > peakValue_) {
        peakValue_ = i;
        showLater();
    }
}

void PreProxy::showLater() {
    // A burst of clients would repaint the window for every one of them: the labels catch up at
    // most ten times a second.
    if (!showTimer_.isActive()) showTimer_.start();
}

void PreProxy::showCounters() {
    const QString s = QString::number(socketsValue_), p = QString::number(peakValue_);
    if (sockets->text() != s) sockets->setText(s);
    if (peak->text() != p) peak->setText(p);
}

void PreProxy::showNow() {
    showCounters();
    urls->flush();
}

void PreProxy::onUpstreamConnect(int i) {
    if (i > kMaxSlot) return;
    std::string &p = pending[size_t(i)];
    bool release = false;
    if (!p.empty() && p.find("GET") != std::string::npos) {
        const std::string target = requesttarget(p);
        if (!target.empty()) release = inspectrequest(i, p, target);
    }
    if (debugmode == 1) {
        // The request log shows what was asked for, whether it goes upstream or not.
        Text1->append(slot_[size_t(i)].mask.apply(p, TraceBox::kPerShow));
        Text1->append("\r\n");
    }
    if (release) {
        releaseslot(i);
        raisepeak(i);
        return;
    }
    Socket *up = extern_.at(i);
    Socket *client = intern.at(i);
    if (up) up->SendData(p);
    raisepeak(i);
    // Nothing reads the first chunk once it is sent: its memory goes back at once.
    std::string().swap(p);

    // The client was held back while the connection was made; it may go on once the first chunk
    // is out of our hands.
    if (client && up && up->unsent() == 0) client->setReadPaused(false);
    if (slot_[size_t(i)].clientDone && up) up->ShutdownSend();
}

void PreProxy::onUpstreamData(int i) {
    Socket *up = extern_.at(i);
    Socket *client = intern.at(i);
    if (!up || i > kMaxSlot) return;
    std::string_view c = up->peekData();
    slot_[size_t(i)].moved = true;
    const std::string_view canned =
        filterresponse(c, ResponseSettings{fSendempty_, fRpictures_, block_});
    if (client) client->SendData(canned.empty() ? c : canned);
    if (debugmode == 1) {
        std::string t = "--- start sending to intern ---\r\n" + std::to_string(i) + ": ";
        externtrace->append(t);
        externtrace->append(c);
        externtrace->append("\r\n--- end sending to intern ---\r\n");
    }
    up->consumeData();
    if (!canned.empty()) {
        // The canned reply stands for the whole response: it is written out and the connection
        // ends, so nothing of the blocked response can follow it.
        releaseslot(i);
        return;
    }
    if (client) holdback(*up, *client);
}

void PreProxy::holdback(Socket &source, Socket &sink) {
    // The source reads no more than the sink can hand to the kernel at once, so nothing has to be
    // queued (and copied) on the way; with no room at all it waits until the sink has some.
    const qint64 room = sink.unsent() > 0 ? 0 : sink.sendRoom();
    if (room < kMinRoom) {
        source.setReadPaused(true);
        sink.watchWritable();
        return;
    }
    source.setReadLimit(room);
}

// ---------------------------------------------------------------------------------------------------
// Filter switches and the block list

void PreProxy::onCookieClick(bool ticked) {
    fCookie_ = ticked;
    if (ticked && cookiemarker.empty()) cookiemarker = "tessaruno";
    main_->regwrite_sz(kKey + "cookie", ticked ? QString::fromUtf8(cookiemarker.data(),
                                                                   qsizetype(cookiemarker.size()))
                                               : QString());
}

void PreProxy::onSwitchClick(const char *value, bool ticked) {
    main_->regwrite_sz(kKey + QString::fromLatin1(value),
                       ticked ? QStringLiteral("on") : QString());
}

void PreProxy::showBlockList(int select) {
    block->clear();
    for (const std::string &e : block_)
        block->addItem(QString::fromUtf8(e.data(), qsizetype(e.size())));
    if (select >= 0 && select < block->count()) block->setCurrentRow(select);
}

void PreProxy::onAddUrl() {
    AddResult r = halvex::addurl(block_, toBytes(Text2->text()));
    if (r.added) showBlockList(-1);
    Text2->setText(QString::fromUtf8(r.field.data(), qsizetype(r.field.size())));
}

void PreProxy::onBlockClick() {
    const int sel = common::listIndex(block);
    if (sel >= 0) Text2->setText(common::listItem(block, sel));
}

void PreProxy::onRemoveUrl() {
    if (auto removed = halvex::removeurl(block_, common::listIndex(block))) {
        Text2->setText(QString::fromUtf8(removed->data(), qsizetype(removed->size())));
        showBlockList(-1);
    }
}

void PreProxy::onAutoFormat() {
    const int sel = common::listIndex(block);
    switch (halvex::autoformat(block_, sel)) {
        case Edit::unchanged:
            break;
        case Edit::replaced:
            showBlockList(sel);
            break;
        case Edit::removed:
            showBlockList(-1);
            break;
    }
}

void PreProxy::onUrlsDoubleClick(const QString &logged) {
    const QByteArray entry = logged.toLatin1();
    if (halvex::blockloggedurl(block_, std::string_view(entry.constData(), size_t(entry.size()))))
        showBlockList(-1);
}

}  // namespace halvex
