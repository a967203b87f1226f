// The main window: the frame around the information window and the hidden session window.
#pragma once

#include <QPointer>

#include "common/shell.h"
#include "quessel/options.h"

class QAction;
class QMenu;
class QTimer;

namespace quessel {

class Popad;
class SessionWindow;

class FrmMain : public common::MainShell {
    Q_OBJECT
public:
    explicit FrmMain(const Options &options, QWidget *parent = nullptr);

    // "Start Proxy": shows the session window (loading it, and so listening, the first time),
    // then hides it again.
    void sproxy_Click();
    void mnuFileExit_Click();

    Popad *popad() const;
    SessionWindow *session() const;

private:
    // The menu, by its design names.
    QMenu *mnuFile;
    QAction *mnuFileExit;
    QAction *sproxy;

    void load();
    void showCounts();

    Options options_;
    QPointer<QWidget> popad_;
    QPointer<QWidget> session_;
    QTimer *counts_ = nullptr;
};

}  // namespace quessel
