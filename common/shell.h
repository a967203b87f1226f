// The main window shell: an MDI frame with the program's menus, a status bar (a text panel and a date
// and a time panel that keep themselves current) and window geometry remembered per user.
#pragma once

#include "common/relaystats.h"
#include <QMainWindow>
#include <QPointer>

#include <functional>

class QLabel;
class QMdiArea;
class QMdiSubWindow;
class QTimer;

namespace common {

// Per-user settings store: (application title, section, key) -> text.
QString GetSetting(const QString &app, const QString &section, const QString &key,
                   const QString &def);
void SaveSetting(const QString &app, const QString &section, const QString &key,
                 const QString &value);

class MainShell : public QMainWindow {
    Q_OBJECT
public:
    // appTitle names the per-user settings; defaultWidth is 6500 or 8500 twips.
    MainShell(const QString &appTitle, const QString &caption, int defaultWidth,
              QWidget *parent = nullptr);

    QMdiArea *mdiArea() const { return mdi_; }

    // Restores the geometry from the per-user store (a value that is not a number falls back to its
    // default).
    void restoreGeometryFromSettings();

    // Shows the child made by make (making it first when it does not exist or the user closed it),
    // maximised and focused. Returns the child's sub-window.
    QMdiSubWindow *showChild(QPointer<QWidget> &child, const std::function<QWidget *()> &make);

    // A short message in the status bar's text panel ("Status" when empty).
    void setStatusText(const QString &text);
    QString statusText() const;
    // A panel beside it for the program's counters (hidden while empty).
    void setCountsText(const QString &text);
    QString countsText() const;

    // A "Connections" entry in the menu bar: the relay's live connections table and throughput
    // plot in a window beside the others; `source` gives the figures as they update. Open when
    // the program ends, it opens again at the next start.
    void addConnectionsView(std::function<RelaySnapshot()> source);

    // Saves the geometry unless minimised; runs on close.
    void saveGeometryToSettings();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void tick();

    QString app_;
    int defaultWidth_;
    bool placedByUser_ = false;  // a stored size was restored: a child does not change it
    QPointer<QWidget> toFit_;    // a child shown before the window was: fitted once it is
    void fitChild(QWidget *child);
    QMdiArea *mdi_;
    QPointer<QWidget> stats_;
    bool hasConnectionsView_ = false;
    QLabel *text_;
    QLabel *counts_;
    QLabel *date_;
    QLabel *time_;
    QTimer *clock_;
    bool saved_ = false;
};

}  // namespace common
