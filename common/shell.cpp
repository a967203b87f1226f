#include "common/shell.h"

#include "common/statsview.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QLabel>
#include <QLocale>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>
#include <QTimer>
#include <cmath>

#include "common/controls.h"

namespace common {

namespace {
QSettings userSettings(const QString &app) {
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("tessaruno"), app);
}
}  // namespace

QString GetSetting(const QString &app, const QString &section, const QString &key,
                   const QString &def) {
    return userSettings(app).value(section + '/' + key, def).toString();
}

void SaveSetting(const QString &app, const QString &section, const QString &key,
                 const QString &value) {
    QSettings s = userSettings(app);
    s.setValue(section + '/' + key, value);
    s.sync();
}

MainShell::MainShell(const QString &appTitle, const QString &caption, int defaultWidth,
                     QWidget *parent)
    : QMainWindow(parent), app_(appTitle), defaultWidth_(defaultWidth) {
    setWindowTitle(caption);
    mdi_ = new QMdiArea(this);
    mdi_->setBackground(palette().brush(QPalette::Dark));
    // A child larger than the frame can still be reached.
    mdi_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    mdi_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    name(mdi_, "mdiArea");
    setCentralWidget(mdi_);

    QStatusBar *bar = statusBar();
    name(bar, "sbStatusBar");
    text_ = new QLabel(QStringLiteral("Status"), bar);
    counts_ = new QLabel(bar);
    date_ = new QLabel(bar);
    time_ = new QLabel(bar);
    name(text_, "sbStatusText");
    name(counts_, "sbStatusCounts");
    name(date_, "sbStatusDate");
    name(time_, "sbStatusTime");
    bar->addWidget(text_, 1);
    bar->addPermanentWidget(counts_);
    counts_->hide();
    bar->addPermanentWidget(date_);
    bar->addPermanentWidget(time_);
    clock_ = new QTimer(this);
    clock_->setInterval(1000);
    connect(clock_, &QTimer::timeout, this, &MainShell::tick);
    clock_->start();
    tick();
}

void MainShell::tick() {
    const QDateTime now = QDateTime::currentDateTime();
    date_->setText(QLocale().toString(now.date(), QLocale::ShortFormat));
    time_->setText(QLocale().toString(now.time(), QStringLiteral("HH:mm:ss")));
}

void MainShell::restoreGeometryFromSettings() {
    // A value that is no usable number (not finite, beyond any screen, a size of 0 or less) falls
    // back to its default; converting it to pixels would overflow or leave an unusable window.
    auto read = [&](const char *key, int def, bool isSize) {
        bool ok = false;
        float v = GetSetting(app_, QStringLiteral("Settings"), QString::fromLatin1(key),
                             QString::number(def))
                      .toFloat(&ok);
        if (!ok || !std::isfinite(v) || std::abs(v) > 1e6f || (isSize && v <= 0))
            return double(def);
        return double(v);
    };
    const double left = read("MainLeft", 1000, false), top = read("MainTop", 1000, false);
    placedByUser_ = !GetSetting(app_, QStringLiteral("Settings"), QStringLiteral("MainWidth"),
                                QString()).isEmpty();
    const double width = read("MainWidth", defaultWidth_, true);
    const double height = read("MainHeight", 6500, true);
    move(twipsToPixels(left), twipsToPixels(top));
    resize(std::max(1, twipsToPixels(width)), std::max(1, twipsToPixels(height)));
}

void MainShell::saveGeometryToSettings() {
    if (isMinimized()) return;
    const QRect g = geometry();
    auto save = [&](const char *key, int px) {
        SaveSetting(app_, QStringLiteral("Settings"), QString::fromLatin1(key),
                    QString::number(float(pixelsToTwips(px))));
    };
    save("MainLeft", x());
    save("MainTop", y());
    save("MainWidth", g.width());
    save("MainHeight", g.height());
    if (hasConnectionsView_)
        SaveSetting(app_, QStringLiteral("Settings"), QStringLiteral("Connections"),
                    stats_ && stats_->isVisible() ? QStringLiteral("1") : QStringLiteral("0"));
}

void MainShell::addConnectionsView(std::function<RelaySnapshot()> source) {
    QAction *action = menuBar()->addAction(QStringLiteral("Connections"));
    action->setObjectName(QStringLiteral("connectionsview"));
    connect(action, &QAction::triggered, this, [this, source] {
        if (!stats_) {
            stats_ = new StatsView(source);
            QMdiSubWindow *sub = mdi_->addSubWindow(stats_);
            sub->setAttribute(Qt::WA_DeleteOnClose);
            sub->setWindowTitle(stats_->windowTitle());
            sub->resize(640, 480);
        }
        if (auto *sub = qobject_cast<QMdiSubWindow *>(stats_->parentWidget())) {
            sub->show();
            mdi_->setActiveSubWindow(sub);
        }
        stats_->show();
    });
    hasConnectionsView_ = true;
    // Open again where it was open when the program last ended.
    if (GetSetting(app_, QStringLiteral("Settings"), QStringLiteral("Connections"), QStringLiteral("0")) ==
        QLatin1String("1"))
        QTimer::singleShot(0, action, &QAction::trigger);
}

QMdiSubWindow *MainShell::showChild(QPointer<QWidget> &child,
                                    const std::function<QWidget *()> &make) {
    QMdiSubWindow *sub = nullptr;
    if (child) {
        sub = qobject_cast<QMdiSubWindow *>(child->parentWidget());
    } else {
        child = make();
        sub = mdi_->addSubWindow(child);
        sub->setAttribute(Qt::WA_DeleteOnClose);
        sub->setWindowTitle(child->windowTitle());
    }
    if (sub) {
        sub->showMaximized();
        mdi_->setActiveSubWindow(sub);
    }
    child->show();
    if (!placedByUser_) {
        if (isVisible()) fitChild(child);
        else toFit_ = child;  // its frame is known only once it is shown
    }
    return sub;
}

// With no size of the user's own, the window grows to show the whole child at the desktop's font
// (its controls are scaled to it), as far as the screen allows, and stays on the screen.
void MainShell::fitChild(QWidget *child) {
    const QRect used = child->childrenRect();
    const QSize extra = size() - mdi_->viewport()->size();
    QSize want(std::max(width(), used.right() + used.left() + extra.width()),
               std::max(height(), used.bottom() + used.left() + extra.height()));
    const QScreen *screen = this->screen();
    if (!screen) {
        resize(want);
        return;
    }
    const QRect room = screen->availableGeometry();
    const QSize frame = frameGeometry().size() - size();
    resize(want.boundedTo(room.size() - frame));
    move(std::max(room.left(), std::min(x(), room.right() + 1 - frameGeometry().width())),
         std::max(room.top(), std::min(y(), room.bottom() + 1 - frameGeometry().height())));
}

void MainShell::showEvent(QShowEvent *event) {
    QMainWindow::showEvent(event);
    if (!toFit_) return;
    QTimer::singleShot(0, this, [this] {
        if (toFit_) fitChild(toFit_);
        toFit_.clear();
    });
}

void MainShell::setStatusText(const QString &text) {
    text_->setText(text.isEmpty() ? QStringLiteral("Status") : text);
}

QString MainShell::statusText() const {
    return text_->text();
}

void MainShell::setCountsText(const QString &text) {
    counts_->setText(text);
    counts_->setVisible(!text.isEmpty());
}

QString MainShell::countsText() const {
    return counts_->text();
}

void MainShell::closeEvent(QCloseEvent *event) {
    // Child windows go first, so their own unload (closing their connections) runs before ours.
    mdi_->closeAllSubWindows();
    if (!saved_) {
        saveGeometryToSettings();
        saved_ = true;
    }
    event->accept();
}

}  // namespace common
