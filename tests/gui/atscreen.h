// Windows at their default size on a real X screen (Xvfb, 1280x900, the desktop's font): each
// window is shown as a user first sees it, a screenshot of the screen is taken, and every control
// must lie wholly inside its window and inside every widget that holds it (a control that ends
// past its parent's edge is cut off on the screen).
#pragma once

#include <QAbstractScrollArea>
#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QWidget>
#include <QtTest>

namespace atscreen {

// The controls of `window` (every named widget) that are not wholly visible, one line each.
inline QStringList cutControls(QWidget *window) {
    QStringList cut;
    const QRect screen = window->screen()->geometry();
    const QRect outer(window->mapToGlobal(QPoint(0, 0)), window->size());
    if (!screen.contains(outer))
        cut << QStringLiteral("%1 is not on the screen").arg(window->objectName());
    for (QWidget *w : window->findChildren<QWidget *>()) {
        if (w->objectName().isEmpty() || w->objectName().startsWith(QLatin1String("qt_")) ||
            !w->isVisible())
            continue;
        // Inside each widget that holds it, up to the window (what scrolls is not cut).
        for (QWidget *p = w->parentWidget(); p; p = p->parentWidget()) {
            if (qobject_cast<QAbstractScrollArea *>(p) && p != window &&
                p->objectName().isEmpty())
                break;
            const QRect r(w->mapTo(p, QPoint(0, 0)), w->size());
            if (!p->rect().contains(r)) {
                cut << QStringLiteral("%1 ends outside %2: %3,%4 %5x%6 in %7x%8")
                           .arg(w->objectName(), p->objectName().isEmpty()
                                                     ? QString::fromLatin1(p->metaObject()->className())
                                                     : p->objectName())
                           .arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height())
                           .arg(p->width()).arg(p->height());
                break;
            }
            if (p == window) break;
        }
    }
    return cut;
}

// Waits until the window is on the screen, takes the screenshot (kept beside the test's build
// for a look), and returns the cut controls.
inline QStringList check(QWidget *window, const QString &shotName) {
    if (!QTest::qWaitForWindowExposed(window)) return {QStringLiteral("never shown")};
    QTest::qWait(300);  // the window fits itself to its child once shown
    const QPixmap shot = window->screen()->grabWindow(0);
    if (shot.isNull()) return {QStringLiteral("no screenshot")};
    shot.save(QDir::current().filePath(shotName + QStringLiteral(".png")));
    return cutControls(window);
}

}  // namespace atscreen
