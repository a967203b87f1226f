#include "halvex/mdiform1.h"

#include "common/controls.h"
#include "common/registry.h"
#include "halvex/preproxy.h"

#include <QFileDialog>
#include <QMenuBar>

namespace halvex {

MDIForm1::MDIForm1(QWidget *parent)
    : common::MainShell(QStringLiteral("halvex"), QString(), 6500, parent) {
    common::name(this, "MDIForm1");
    progexit = menuBar()->addAction(QStringLiteral("Exit"));
    progexit->setObjectName(QStringLiteral("progexit"));
    starthttproxy = menuBar()->addAction(QStringLiteral("Start HTTP Proxy"));
    starthttproxy->setObjectName(QStringLiteral("starthttproxy"));
    importblock = menuBar()->addAction(QStringLiteral("Import block list..."));
    importblock->setObjectName(QStringLiteral("importblock"));
    connect(importblock, &QAction::triggered, this, &MDIForm1::importblockClick);
    connect(progexit, &QAction::triggered, this, &QWidget::close);
    connect(starthttproxy, &QAction::triggered, this, &MDIForm1::starthttproxyClick);
    addConnectionsView([this] {
        PreProxy *p = proxyWindow();
        return p ? p->snapshot() : common::RelaySnapshot{};
    });
    restoreGeometryFromSettings();
}

void MDIForm1::starthttproxyClick() {
    showChild(proxy_, [this] {
        auto *p = new PreProxy(this);
        // The proxy window reports; the frame shows. Nothing runs from the child up to the frame.
        connect(p, &PreProxy::statusText, this, &MDIForm1::setStatusText);
        connect(p, &PreProxy::countsText, this, &MDIForm1::setCountsText);
        p->setOptions(options_);
        return p;
    });
}

void MDIForm1::importblockClick() {
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Import block list"), QString(),
        QStringLiteral("Block lists and hosts files (*.txt hosts *);;All files (*)"));
    if (path.isEmpty()) return;
    if (!proxyWindow()) starthttproxyClick();
    QString why;
    if (PreProxy *p = proxyWindow(); p && !p->importBlockList(path, &why)) setStatusText(why);
}

PreProxy *MDIForm1::proxyWindow() const { return qobject_cast<PreProxy *>(proxy_.data()); }

}  // namespace halvex
