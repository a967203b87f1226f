#include "halvex/preproxy.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QResizeEvent>
#include <algorithm>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QSaveFile>
#include <QStringBuilder>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <ctime>

#include "common/controls.h"
#include "common/hostport.h"
#include "common/log.h"
#include "common/registry.h"
#include "common/relaystats.h"
#include "halvex/blocklist.h"
#include "halvex/filters.h"
#include "halvex/inspect.h"
#include "halvex/proxyconst.h"
#include "common/tracebox.h"

namespace halvex {

namespace {

const QString kKey = QStringLiteral("HKLM\\SOFTWARE\\Tessaruno\\");

std::string toBytes(const QString &s) {
    const QByteArray b = s.toUtf8();
    return std::string(b.constData(), size_t(b.size()));
}

// A stored switch: on unless empty or an "off" word (the window itself writes "on" or "").
bool storedSwitch(const char *name) {
    return switchValue(toBytes(common::regread(kKey + QLatin1String(name)))).value_or(true);
}

// A port typed into a box: a whole number from 0 to 65535, or -1.
int portOf(const QString &text) {
    return common::parsePort(toBytes(text.trimmed()), 0).value_or(-1);
}

}  // namespace

PreProxy::PreProxy(QWidget *parent)
    : QWidget(parent),
      relay_(QStringLiteral("intern"), QStringLiteral("extern"), kMaxSlot,
             [this](int slot, const QString &) {
                 return std::make_unique<Inspection>(settings_, slot);
             }),
      status_([this] { return snapshot(); }) {
    common::name(this, "PreProxy");
    setWindowTitle(QStringLiteral("PreProxy"));
    buildControls();
    settings_.upstreamHost = toBytes(externproxy->text().trimmed());
    settings_.upstreamPort = portOf(externport->text());
    relay_.setObserver(this);
    settings_.logurl = [this](int slot, std::string_view target) { logUrl(slot, target); };
    settings_.logrequest = [this](int slot, const RequestRecord &r) { logRequest(slot, r); };
    settings_.clock = &common::RelayShell::now;
    settings_.https = &https_;
    settings_.statusPage = [this](int slot, std::string_view head) {
        // The page shows every client's targets: it is for those who may read the status.
        const auto peer = common::NetAddress::parse(toBytes(relay_.peer(slot)));
        if (!peer || !statusAllow_.contains(*peer))
            return statusreply("403 Forbidden", "halvex's status page is not open to this address.");
        return common::statusAnswer(head, snapshot());
    };
    https_.mint = [this](const std::string &name, std::int64_t serverEnd) {
        return mint_ ? mint_->leafFor(name, serverEnd, std::int64_t(std::time(nullptr)))
                     : std::shared_ptr<common::TlsServerContext>();
    };
    https_.refused = [this](const std::string &host, const std::string &why, bool learned) {
        common::LogLine(common::LogLevel::info, "inspect")
            .field("host", host)
            .field("outcome", learned ? "passed uninspected for a day" : "refused")
            .field("reason", why);
        showLearned();
    };

    setOptions(Options());

    showTimer_.setSingleShot(true);
    showTimer_.setInterval(100);
    connect(&showTimer_, &QTimer::timeout, this, &PreProxy::showCounters);

    load();
}

void PreProxy::setOptions(const Options &options) {
    bind_ = QString::fromStdString(options.bind);
    common::RelayLimits limits;
    // HALVEX_HALFCLOSE_SECONDS: how long a half-ended connection may stay silent (default 60).
    bool ok = false;
    int halfClose = qEnvironmentVariableIntValue("HALVEX_HALFCLOSE_SECONDS", &ok);
    if (!ok || halfClose < 1) halfClose = 60;
    limits.linger = common::Millis(halfClose) * 1000;
    limits.firstByte = common::Millis(options.firstByteTimeout) * 1000;
    // A request head must be whole in the same time, however slowly it comes.
    limits.login = limits.firstByte;
    limits.idle = common::Millis(options.idleTimeout) * 1000;
    // A server must be connected (and its TLS set up, for a tunnel halvex reads) within a minute.
    limits.greeting = 60 * 1000;
    relay_.setLimits(limits);
    relay_.setAllowedClients(options.allowClients);
    relay_.setMaxPerClient(options.maxPerClient);
    relay_.setBalancers(options.balancers);
    allowServers_ = options.allowServers;
    allowClientsText_ = options.allowClientsText;
    settings_.maxPipelined = std::size_t(options.maxPipelined);
    statusAllow_ = options.statusAllow;
    statusWhy_ = status_.apply(options.status, options.statusAllow);
    if (!statusWhy_.isEmpty()) emit statusText(statusWhy_);
    loadAuthority(options);
}

common::RelaySnapshot PreProxy::snapshot() {
    common::RelaySnapshot s = relay_.snapshot();
    s.program = "halvex";
    s.handledNoun = "requests";
    return s;
}

// The authority is loaded again only when its files are others; the switch shows only with one.
void PreProxy::loadAuthority(const Options &options) {
    https_.settings.except = options.inspectExcept;
    https_.settings.ports = options.inspectPorts;
    https_.settings.learn = options.inspectLearn;
    if (options.caCert != caCert_ || options.caKey != caKey_) {
        caCert_ = options.caCert;
        caKey_ = options.caKey;
        mint_.reset();
        if (!caCert_.empty()) {
            common::Result<std::shared_ptr<common::TlsMint>> m =
                common::TlsMint::load(caCert_, caKey_);
            if (m) {
                mint_ = *m;
            } else {
                emit statusText(QStringLiteral("HTTPS is not inspected: %1")
                                    .arg(QString::fromStdString(m.why())));
                common::LogLine(common::LogLevel::error, "inspect")
                    .field("outcome", "HTTPS not inspected")
                    .field("reason", m.why());
            }
        }
    }
    inspecthttps->setVisible(mint_ != nullptr);
    learnedhosts->setVisible(mint_ != nullptr);
    {
        const QSignalBlocker quiet(inspecthttps);
        inspecthttps->setChecked(options.inspectHttps && mint_);
    }
    https_.settings.on = inspecthttps->isChecked();
    showLearned();
}

void PreProxy::showLearned() {
    const auto hosts = https_.learned.list(common::RelayShell::now());
    learnedhosts->setText(QStringLiteral("%1 learned").arg(hosts.size()));
    QStringList lines;
    for (const auto &[host, until] : hosts) {
        const qint64 minutes = (until - common::RelayShell::now()) / 60000;
        lines << QStringLiteral("%1 (%2 h %3 min more)")
                     .arg(QString::fromStdString(host))
                     .arg(minutes / 60)
                     .arg(minutes % 60);
    }
    learnedhosts->setToolTip(
        hosts.empty() ? QStringLiteral("No host passes uninspected")
                      : QStringLiteral("Passed uninspected, their clients refused halvex's "
                                       "certificate:\n") +
                            lines.join(QLatin1Char('\n')));
}

common::ReloadOutcome PreProxy::reload(const Options &options) {
    common::ReloadOutcome outcome;
    const QString oldBind = bind_;
    const QString oldPort = internport->text();
    setOptions(options);
    const QString newBind = bind_;
    bind_ = oldBind;

    bool ok = false;
    const short d = common::regread(kKey + "debug").toShort(&ok);
    if ((!ok || d == 1) != debugMode_)
        outcome.keep("debug", "the window's face (traces or help text) is chosen when it opens");
    if (!statusWhy_.isEmpty()) outcome.keep("status", statusWhy_.toStdString());

    // The boxes as stored now, or as the command line gives them; the upstream is read from them
    // for every new connection.
    keepBoxes_ = false;
    internport->setText(common::regread(kKey + "plistenport"));
    externproxy->setText(common::regread(kKey + "proxyip"));
    externport->setText(common::regread(kKey + "proxyport"));
    settings_.cookiemarker = toBytes(common::regread(kKey + "cookie"));
    quiet_ = true;  // as stored: nothing to store again
    cookie->setChecked(!settings_.cookiemarker.empty());
    blockme->setChecked(storedSwitch("headerfilter"));
    sendempty->setChecked(storedSwitch("empty"));
    rpictures->setChecked(storedSwitch("pic"));
    quiet_ = false;
    useCommandLine(options);
    loadBlockList();  // as the file is now: an admin may have edited it

    const int port = portOf(internport->text());
    if (relay_.listening() && (port != portOf(oldPort) || newBind != oldBind)) {
        // The new listener is open before the old one closes; open connections go on.
        QString why;
        bool moved = false;
        if (port < 1) {
            why = QStringLiteral("no listen port");
        } else if (relay_.moveListener(newBind, port, &why)) {
            bind_ = newBind;
            moved = true;
        } else {
            why = QStringLiteral("cannot listen on %1: %2")
                      .arg(QString::fromStdString(common::hostAndPort(
                          newBind.isEmpty() ? "0.0.0.0" : toBytes(newBind), port)),
                           why);
        }
        if (!moved) {
            internport->setText(oldPort);
            outcome.keep(newBind != oldBind ? "bind" : "plistenport", why.toStdString());
        } else {
            common::LogLine(common::LogLevel::info, "listening")
                .field("address", common::hostAndPort(bind_.isEmpty() ? "0.0.0.0" : toBytes(bind_), port))
                .field("outcome", "moved");
        }
    } else if (!relay_.listening()) {
        bind_ = newBind;
    }
    applyServerPolicy(portOf(internport->text()));
    common::Socket &tmpl = relay_.servers()[0];
    if (const int p = portOf(externport->text()); p >= 0) tmpl.RemotePort = p;
    tmpl.RemoteHost = externproxy->text();
    return outcome;
}

void PreProxy::applyServerPolicy(int port) {
    // With no upstream proxy halvex connects where its clients ask, but not to this machine or a
    // private network unless allowservers names them, and never to its own listener.
    std::vector<common::NetAddress> own;
    for (const QHostAddress &a : QNetworkInterface::allAddresses())
        if (auto n = common::NetAddress::parse(toBytes(a.toString().section('%', 0, 0))))
            own.push_back(*n);
    relay_.setServerPolicy(common::ServerPolicy(allowServers_, own, {port}));
}

PreProxy::~PreProxy() {
    teardown();
}

void PreProxy::resizeEvent(QResizeEvent *event) {
    QWidget::resizeEvent(event);
    if (design_.size() != 5) return;
    const QRect &list = design_[0], &log = design_[1], &in = design_[2], &ex = design_[3],
                &help = design_[4];
    const int shrinkable = list.height() + log.height() + in.height();
    const int deficit = std::clamp(designHeight_ - height(), 0, shrinkable);
    const double keep = double(shrinkable - deficit) / shrinkable;
    const int listHeight = int(list.height() * keep), logHeight = int(log.height() * keep),
              traceHeight = int(in.height() * keep);
    const int logTop = list.top() + listHeight + (log.top() - list.bottom());
    const int traceTop = logTop + logHeight + (in.top() - log.bottom());
    urls->setGeometry(list.left(), list.top(), list.width(), listHeight);
    Text1->setGeometry(log.left(), logTop, log.width(), logHeight);
    interntrace->setGeometry(in.left(), traceTop, in.width(), traceHeight);
    externtrace->setGeometry(ex.left(), traceTop, ex.width(), traceHeight);
    hilfe->setGeometry(help.left(), logTop, help.width(), traceTop + traceHeight - logTop);
}

void PreProxy::closeEvent(QCloseEvent *event) {
    teardown();
    event->accept();
}

// ---------------------------------------------------------------------------------------------------
// Window

void PreProxy::buildControls() {
    auto trace = [this](common::TraceBox *&w, const char *n, const char *what, int l, int t, int wd,
                        int h) {
        w = new common::TraceBox(this);
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
    Label5 = common::make<QLabel>(this, "Label5", "Open:", 3720, 840, 615, 255);
    opennow = common::make<QLabel>(this, "opennow", "0", 4440, 840, 375, 255);
    Command1 = common::make<QPushButton>(this, "Command1", "start", 120, 840, 1095, 375);
    Command2 = common::make<QPushButton>(this, "Command2", "disconnect all", 1320, 840, 1335, 375);
    Command3 = common::make<QPushButton>(this, "Command3", "clear", 2760, 840, 855, 375);
    cookie = common::make<QCheckBox>(this, "cookie", "Remove all Cookies", 5040, 120, 1815, 255);
    blockme = common::make<QCheckBox>(this, "blockme", "Block (disconnect)", 5040, 480, 2175, 255);
    sendempty =
        common::make<QCheckBox>(this, "sendempty", "Block (send empty)", 5040, 840, 1815, 255);
    rpictures = common::make<QCheckBox>(this, "rpictures", "Remove Pictures", 6960, 120, 1575, 255);
    inspecthttps =
        common::make<QCheckBox>(this, "inspecthttps", "Inspect HTTPS", 7320, 480, 1455, 255);
    learnedhosts = common::make<QLabel>(this, "learnedhosts", "0 learned", 8040, 2760, 1455, 255);
    learnedhosts->setAccessibleName(QStringLiteral("Hosts passed uninspected"));
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
    mode = common::make<QLabel>(this, "mode", "", 6960, 840, 1575, 255);
    hilfe->setWordWrap(true);

    Command2->setEnabled(false);
    // Each box says what it holds.
    internport->setPlaceholderText(QStringLiteral("port"));
    externport->setPlaceholderText(QStringLiteral("port"));
    externproxy->setPlaceholderText(QStringLiteral("host of the upstream proxy"));
    Text2->setPlaceholderText(QStringLiteral("host or address to block"));
    common::setPlaceholder(block, QStringLiteral("the block list"));
    common::setPlaceholder(urls, QStringLiteral("the addresses requested"));
    common::setPlaceholder(Text1, QStringLiteral("the request log"));
    common::setPlaceholder(interntrace, QStringLiteral("client to upstream"));
    common::setPlaceholder(externtrace, QStringLiteral("upstream to client"));
    setMinimumSize(common::twipsToPixels(9555), common::twipsToPixels(8970));
    common::fitCaptions(this);
    // The URL list, the request log and the traces give up height when the window has less
    // than the design's (a laptop's screen, a taskbar): everything above them stays whole, and
    // the frame never needs a scroll bar that would hide the right-hand buttons.
    designHeight_ = minimumSize().height();
    for (QWidget *w : {static_cast<QWidget *>(urls), static_cast<QWidget *>(Text1),
                       static_cast<QWidget *>(interntrace), static_cast<QWidget *>(externtrace),
                       static_cast<QWidget *>(hilfe)})
        design_.push_back(w->geometry());
    const int shrinkable = design_[0].height() + design_[1].height() + design_[2].height();
    const int least = 3 * fontMetrics().lineSpacing() + 2 * 20;  // a few lines each, and scroll bars
    setMinimumHeight(designHeight_ - std::max(0, shrinkable - 3 * least));

    connect(Command1, &QPushButton::clicked, this, &PreProxy::onStart);
    connect(Command2, &QPushButton::clicked, this, &PreProxy::onDisconnectAll);
    connect(Command3, &QPushButton::clicked, this, &PreProxy::onClear);
    connect(cookie, &QCheckBox::toggled, this, &PreProxy::onCookieClick);
    connect(blockme, &QCheckBox::toggled, this, [this](bool t) {
        settings_.blockme = t;
        onSwitchClick("headerfilter", t);
    });
    connect(sendempty, &QCheckBox::toggled, this, [this](bool t) {
        settings_.sendempty = t;
        onSwitchClick("empty", t);
    });
    connect(rpictures, &QCheckBox::toggled, this, [this](bool t) {
        settings_.rpictures = t;
        onSwitchClick("pic", t);
    });
    connect(inspecthttps, &QCheckBox::toggled, this, [this](bool t) {
        https_.settings.on = t && mint_;
        onSwitchClick("inspecthttps", t);
    });
    connect(addurl, &QPushButton::clicked, this, &PreProxy::onAddUrl);
    connect(block, &QListWidget::itemClicked, this, &PreProxy::onBlockClick);
    connect(removeurl, &QPushButton::clicked, this, &PreProxy::onRemoveUrl);
    connect(AutoFormat, &QPushButton::clicked, this, &PreProxy::onAutoFormat);
    connect(urls, &UrlList::entryDoubleClicked, this, &PreProxy::onUrlsDoubleClick);
    // The upstream is read from the boxes for every new connection.
    connect(externproxy, &QLineEdit::textChanged, this, [this](const QString &text) {
        settings_.upstreamHost = toBytes(text.trimmed());
        showMode();
    });
    connect(externport, &QLineEdit::textChanged, this,
            [this](const QString &text) { settings_.upstreamPort = portOf(text); });
}

void PreProxy::load() {
    bool ok = false;
    const short d = common::regread(kKey + "debug").toShort(&ok);
    debugMode_ = !ok || d == 1;

    externport->setText(common::regread(kKey + "proxyport"));
    internport->setText(common::regread(kKey + "plistenport"));
    externproxy->setText(common::regread(kKey + "proxyip"));

    loadBlockList();
    showMode();

    // Setting a box runs its click handler, which stores the setting again.
    settings_.cookiemarker = toBytes(common::regread(kKey + "cookie"));
    cookie->setChecked(!settings_.cookiemarker.empty());
    blockme->setChecked(storedSwitch("headerfilter"));
    sendempty->setChecked(storedSwitch("empty"));
    rpictures->setChecked(storedSwitch("pic"));

    const bool debug = debugMode_;
    // An established tunnel moves off the event loop, unless the traces show its bytes.
    relay_.setCarryTunnels(!debug);
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
    if (relay_.listening()) {
        Command2->setEnabled(true);
        Command1->setEnabled(false);
        // As proxies log their start: where, which way, for whom.
        const std::string host = toBytes(externproxy->text().trimmed());
        common::LogLine(common::LogLevel::info, "listening")
            .field("address", common::hostAndPort(bind_.isEmpty() ? "0.0.0.0" : toBytes(bind_),
                                                  portOf(internport->text())))
            .field("via", host.empty() ? std::string("direct")
                                       : common::hostAndPort(host, portOf(externport->text())))
            .field("clients", allowClientsText_)
            .field("inspection", https_.settings.on ? "on" : "off");
    }
    if (keepBoxes_) return;
    common::regwrite_sz(kKey + "proxyport", externport->text());
    common::regwrite_sz(kKey + "plistenport", internport->text());
    common::regwrite_sz(kKey + "proxyip", externproxy->text());
}

void PreProxy::useCommandLine(const Options &o) {
    if (o.port) {
        internport->setText(QString::number(*o.port));
        keepBoxes_ = true;
    }
    if (o.upstream) {
        externproxy->setText(QString::fromStdString(o.upstream->host));
        externport->setText(o.upstream->host.empty() ? QString() : QString::number(o.upstream->port));
        keepBoxes_ = true;
    }
    quiet_ = true;
    if (o.removeCookies) cookie->setChecked(*o.removeCookies);
    if (o.blockDisconnect) blockme->setChecked(*o.blockDisconnect);
    if (o.blockSendEmpty) sendempty->setChecked(*o.blockSendEmpty);
    if (o.removePictures) rpictures->setChecked(*o.removePictures);
    quiet_ = false;
}

void PreProxy::addBlockEntry(const QString &entry) {
    Text2->setText(entry);
    addurl->click();
}

void PreProxy::pressStart() {
    Command1->click();
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
    // Open pairs are closed, but their slots stay taken until "disconnect all".
    relay_.closeAll();
    relay_.stopListening();
    const int port = portOf(internport->text());
    applyServerPolicy(port);
    QString why;
    if (port < 0) {
        why = QStringLiteral("cannot listen on port %1: not a port number").arg(internport->text());
    } else if (!relay_.listen(bind_, port, &why)) {
        why = QStringLiteral("cannot listen on port %1: %2").arg(port).arg(why);
    } else {
        why.clear();
    }
    emit statusText(why);
    if (!why.isEmpty())
        common::LogLine(common::LogLevel::error, "listen").field("outcome", why.toStdString());

    common::Socket &tmpl = relay_.servers()[0];
    if (const int p = portOf(externport->text()); p >= 0) tmpl.RemotePort = p;
    tmpl.RemoteHost = externproxy->text();
}

void PreProxy::disconnectall() {
    relay_.releaseAll();
    relay_.stopListening();
    relay_.servers()[0].Close();
}

void PreProxy::teardown() {
    if (tornDown_) return;
    disconnectall();
}

void PreProxy::releaseslot(int i) {
    if (i < 0 || i > kMaxSlot) return;
    if (i == 0) {
        // The listener and the template are only closed.
        relay_.stopListening();
        relay_.servers()[0].Close();
        return;
    }
    relay_.release(i);
}

void PreProxy::accepted(int slot) {
    masks_[size_t(slot)] = common::httpClientMask();
    addressMasks_[size_t(slot)] = common::AddressPasswordMask();
    socketsValue_ = slot;
    showLater();
}

void PreProxy::connected(int slot) {
    if (slot > peakValue_) {
        peakValue_ = slot;
        showLater();
    }
}

void PreProxy::released(int slot, const common::SlotStats &) {
    if (auto *inspection = dynamic_cast<Inspection *>(relay_.rules(slot))) inspection->finish();
    showLater();
}

void PreProxy::listenerFailed(const QString &) {
    // A running proxy starts listening again, which drops the open pairs with it.
    releaseslot(0);
    if (running()) {
        startlistening();
        if (!relay_.listening()) {
            Command2->setEnabled(false);
            Command1->setEnabled(true);
        }
    }
}

void PreProxy::refusedClient(const QString &peer, const QString &why) {
    refusals_.add(common::RelayShell::now() / 1000);
    common::LogLine(common::LogLevel::info, "refused")
        .field("client", peer.toStdString())
        .field("reason", why.toStdString());
    emit countsText(QStringLiteral("refused clients: %1").arg(relay_.refusedClients()));
}

void PreProxy::relayed(int i, common::Side from, std::string_view bytes, bool first) {
    if (!debugMode_) return;
    // What a client sends is shown without its credentials: authorization headers, and the
    // passwords in addresses.
    auto masked = [&] {
        return masks_[size_t(i)].apply(addressMasks_[size_t(i)].apply(bytes),
                                       common::TraceBox::kPerShow);
    };
    if (first) {
        // The request log shows what was asked for, whether it goes upstream or not.
        Text1->append(masked());
        Text1->append("\r\n");
    } else if (from == common::Side::client) {
        interntrace->append("--- start sending extern ---\r\n" + std::to_string(i) + ": ");
        interntrace->append(masked());
        interntrace->append("\r\n--- end send extern ---\r\n");
    } else {
        externtrace->append("--- start sending to intern ---\r\n" + std::to_string(i) + ": ");
        externtrace->append(bytes);
        externtrace->append("\r\n--- end sending to intern ---\r\n");
    }
}

void PreProxy::logUrl(int i, std::string_view target) {
    const std::string shown = escapecontrols(target);
    const QString entry = relay_.peer(i) % QLatin1String(": ") %
                          QLatin1String(shown.data(), qsizetype(shown.size()));
    // Its line on stderr is the request's own, when the request is through.
    urls->append(entry);
}

// halvex: request client=192.168.1.20 method=GET target=http://example.org/ outcome=passed
//         status=200 from_client=412 from_server=10240 ms=35
common::ServiceFigures PreProxy::figures() const {
    common::ServiceFigures f;
    f.open = relay_.count();
    f.handled = requests_;
    f.handledNoun = "requests";
    f.refusedLastMinute = refusals_.lastMinute(common::RelayShell::now() / 1000);
    return f;
}

void PreProxy::logRequest(int slot, const RequestRecord &r) {
    ++requests_;
    relay_.countHandled(r.outcome);
    if (std::string_view(r.outcome) == "blocked" || std::string_view(r.outcome) == "refused")
        refusals_.add(common::RelayShell::now() / 1000);
    if (!common::logs(common::LogLevel::info)) return;
    common::LogLine line(common::LogLevel::info, "request");
    line.field("client", relay_.peer(slot).toStdString());
    line.field("method", r.method).field("target", r.target).field("outcome", r.outcome);
    line.field("status", r.status);
    line.field("from_client", std::int64_t(r.fromClient));
    line.field("from_server", std::int64_t(r.fromServer));
    line.field("ms", common::RelayShell::now() - r.begun);
    if (!r.reason.empty()) line.field("reason", r.reason);
}

void PreProxy::showLater() {
    // A burst of clients would repaint the window for every one of them: the labels catch up at
    // most ten times a second.
    if (!showTimer_.isActive()) showTimer_.start();
}

void PreProxy::showCounters() {
    const QString s = QString::number(socketsValue_), p = QString::number(peakValue_);
    const QString o = QString::number(relay_.count());
    if (sockets->text() != s) sockets->setText(s);
    if (peak->text() != p) peak->setText(p);
    if (opennow->text() != o) opennow->setText(o);
}

void PreProxy::showNow() {
    showCounters();
    urls->flush();
}

// ---------------------------------------------------------------------------------------------------
// Filter switches and the block list

void PreProxy::onCookieClick(bool ticked) {
    settings_.cookie = ticked;
    std::string &marker = settings_.cookiemarker;
    if (ticked && marker.empty()) marker = "tessaruno";
    if (quiet_) return;
    common::regwrite_sz(kKey + "cookie",
                       ticked ? QString::fromUtf8(marker.data(), qsizetype(marker.size())) : QString());
}

void PreProxy::onSwitchClick(const char *value, bool ticked) {
    if (quiet_) return;
    common::regwrite_sz(kKey + QString::fromLatin1(value),
                       ticked ? QStringLiteral("on") : QString());
}

void PreProxy::showBlockList(int select) {
    block->clear();
    for (const std::string &e : settings_.block)
        block->addItem(QString::fromUtf8(e.data(), qsizetype(e.size())));
    if (select >= 0 && select < block->count()) block->setCurrentRow(select);
}

QString PreProxy::blockListFile() {
    return QFileInfo(common::registryFilePath()).absoluteDir().filePath(
        QStringLiteral("halvex-blocklist.txt"));
}

void PreProxy::loadBlockList() {
    QFile stored(blockListFile());
    if (!stored.open(QIODevice::ReadOnly)) return;
    const QByteArray text = stored.readAll();
    settings_.block = readblocklist(std::string_view(text.constData(), size_t(text.size())));
    showBlockList(-1);
}

void PreProxy::storeBlockList() {
    // Written whole and put in place at once: a crash leaves the old list or the new one.
    const QString path = blockListFile();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    const std::string text = blocklisttext(settings_.block);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), qint64(text.size())) < 0 ||
        !file.commit())
        emit statusText(QStringLiteral("cannot store the block list in %1").arg(path));
}

bool PreProxy::importBlockList(const QString &path, QString *why) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (why) *why = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray text = file.readAll();
    const std::size_t added = importentries(
        settings_.block, blockfileentries(std::string_view(text.constData(), size_t(text.size()))));
    if (added > 0) {
        showBlockList(-1);
        storeBlockList();
    }
    emit statusText(QStringLiteral("%1 block-list entries imported from %2").arg(added).arg(path));
    return true;
}

void PreProxy::showMode() {
    const bool direct = settings_.direct();
    mode->setText(direct ? QStringLiteral("direct") : QStringLiteral("via upstream"));
    mode->setToolTip(direct ? QStringLiteral("No upstream proxy: halvex connects to the web itself")
                            : QStringLiteral("Every connection goes to the upstream proxy"));
}

void PreProxy::onAddUrl() {
    AddResult r = halvex::addurl(settings_.block, toBytes(Text2->text()));
    if (r.added) {
        showBlockList(-1);
        storeBlockList();
    }
    Text2->setText(QString::fromUtf8(r.field.data(), qsizetype(r.field.size())));
}

void PreProxy::onBlockClick() {
    const int sel = common::listIndex(block);
    if (sel >= 0) Text2->setText(common::listItem(block, sel));
}

void PreProxy::onRemoveUrl() {
    if (auto removed = halvex::removeurl(settings_.block, common::listIndex(block))) {
        Text2->setText(QString::fromUtf8(removed->data(), qsizetype(removed->size())));
        showBlockList(-1);
        storeBlockList();
    }
}

void PreProxy::onAutoFormat() {
    const int sel = common::listIndex(block);
    switch (halvex::autoformat(settings_.block, sel)) {
        case Edit::unchanged:
            break;
        case Edit::replaced:
            showBlockList(sel);
            storeBlockList();
            break;
        case Edit::removed:
            showBlockList(-1);
            storeBlockList();
            break;
    }
}

void PreProxy::onUrlsDoubleClick(const QString &logged) {
    const QByteArray entry = logged.toLatin1();
    if (halvex::blockloggedurl(settings_.block, std::string_view(entry.constData(), size_t(entry.size())))) {
        showBlockList(-1);
        storeBlockList();
    }
}

}  // namespace halvex
