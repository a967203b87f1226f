// The main window of halvex: the frame that hosts the proxy window and remembers its own geometry.
#pragma once

#include "common/shell.h"
#include "halvex/options.h"

#include <QPointer>

class QAction;

namespace halvex {

class PreProxy;

class MDIForm1 : public common::MainShell {
    Q_OBJECT
public:
    explicit MDIForm1(QWidget *parent = nullptr);

    // "Start HTTP Proxy": shows the proxy window maximised, loading it first when needed.
    void starthttproxyClick();
    PreProxy *proxyWindow() const;
    // "Import block list...": a file chosen in a dialog, imported into the proxy window's list.
    void importblockClick();
    // For the proxy window, made now or later.
    void setOptions(const Options &options) { options_ = options; }
    void setBindAddress(const QString &address) { options_.bind = address.toStdString(); }

private:
    // The menu, by its design names.
    QAction *progexit;
    QAction *starthttproxy;
    QAction *importblock;

    QPointer<QWidget> proxy_;
    Options options_;
};

}  // namespace halvex
