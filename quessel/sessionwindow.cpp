#include "quessel/sessionwindow.h"

#include <cstdio>

#include "common/controls.h"

namespace quessel {

SessionWindow::SessionWindow(const Options &options, QWidget *parent)
    : QWidget(parent),
      relay_(QStringLiteral("socki"), QStringLiteral("socke"), kMaxSlots,
             [this](int, const QString &) {
                 return std::make_unique<LoginRules>(serverport, options_.serverTimeout,
                                                     kLoginSeconds);
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
    limits.login = common::Millis(kLoginSeconds) * 1000;
    limits.greeting = common::Millis(options_.serverTimeout) * 1000;
    limits.linger = kHalfCloseLingerMs;
    relay_.setLimits(limits);
    relay_.setObserver(this);
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
    QString why;
    if (relay_.listen(QString::fromStdString(options_.bind), options_.port, &why)) {
        listenError_.clear();
        emit listenerStatus(QString());
        return true;
    }
    const QString where = options_.bind.empty()
                              ? QString::number(options_.port)
                              : QStringLiteral("%1:%2")
                                    .arg(QString::fromStdString(options_.bind))
                                    .arg(options_.port);
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
