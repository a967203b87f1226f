#include "quessel/frmmain.h"

#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>

#include "common/controls.h"
#include "quessel/popad.h"
#include "quessel/sessionwindow.h"

namespace quessel {

FrmMain::FrmMain(const Options &options, QWidget *parent)
    : common::MainShell(QStringLiteral("quessel"), QStringLiteral("quessel"), 8500, parent),
      options_(options) {
    common::name(this, "frmMain");
    mnuFile = menuBar()->addMenu(QStringLiteral("&File"));
    common::name(mnuFile, "mnuFile");
    mnuFile->menuAction()->setObjectName(QStringLiteral("mnuFile"));
    mnuFileExit = mnuFile->addAction(QStringLiteral("E&xit"));
    mnuFileExit->setObjectName(QStringLiteral("mnuFileExit"));
    sproxy = menuBar()->addAction(QStringLiteral("Start Proxy"));
    sproxy->setObjectName(QStringLiteral("sproxy"));
    connect(mnuFileExit, &QAction::triggered, this, &FrmMain::mnuFileExit_Click);
    connect(sproxy, &QAction::triggered, this, &FrmMain::sproxy_Click);
    addConnectionsView([this] {
        SessionWindow *w = session();
        return w ? w->snapshot() : common::RelaySnapshot{};
    });
    load();
}

void FrmMain::showCounts() {
    // Where the proxy listens and how busy it is, beside the status text.
    const SessionWindow *w = session();
    if (!w) return;
    QString text = w->listening() ? QStringLiteral("listening on %1").arg(w->listenDescription())
                                  : QStringLiteral("not listening");
    text += QStringLiteral(" · %1 open").arg(w->slotCount());
    const int clients = w->refusedClients(), servers = w->refusedServers();
    if (clients || servers)
        text += QStringLiteral(" · refused: %1 clients, %2 servers").arg(clients).arg(servers);
    if (countsText() != text) setCountsText(text);
}

void FrmMain::load() {
    restoreGeometryFromSettings();
    counts_ = new QTimer(this);
    counts_->setInterval(1000);
    connect(counts_, &QTimer::timeout, this, &FrmMain::showCounts);
    counts_->start();
    showChild(popad_, [] { return new Popad; });
    sproxy_Click();
}

void FrmMain::sproxy_Click() {
    // Showing the session window maximised un-maximises the information window; it is put back
    // as it was, so nothing the user sees changes.
    auto *info = popad_ ? qobject_cast<QMdiSubWindow *>(popad_->parentWidget()) : nullptr;
    const bool infoMaximized = info && info->isMaximized();
    const bool loaded = !session_.isNull();
    QMdiSubWindow *sub = showChild(session_, [this] {
        auto *w = new SessionWindow(options_);
        connect(w, &SessionWindow::listenerStatus, this, &FrmMain::setStatusText);
        connect(w, &SessionWindow::refusalsChanged, this, &FrmMain::showCounts);
        w->load();
        return w;
    });
    if (sub) sub->hide();
    // A listener that could not be opened (or failed) gets another try.
    if (SessionWindow *w = session(); loaded && w && !w->listening()) w->startListening();
    if (info) {
        if (infoMaximized) info->showMaximized();
        mdiArea()->setActiveSubWindow(info);
    }
    showCounts();
}

void FrmMain::mnuFileExit_Click() {
    close();
}

Popad *FrmMain::popad() const {
    return qobject_cast<Popad *>(popad_.data());
}

SessionWindow *FrmMain::session() const {
    return qobject_cast<SessionWindow *>(session_.data());
}

}  // namespace quessel
