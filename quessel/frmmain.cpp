#include "quessel/frmmain.h"

#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>

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
    load();
}

void FrmMain::load() {
    restoreGeometryFromSettings();
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
        connect(w, &SessionWindow::refusalsChanged, this, [this](int clients, int servers) {
            setCountsText(QStringLiteral("refused: %1 clients, %2 servers").arg(clients).arg(servers));
        });
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
