#include "common/controls.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QLabel>
#include <algorithm>
#include <QFont>
#include <QGuiApplication>
#include <QListWidget>
#include <QScreen>
#include <QTimer>
#include <QWidget>

namespace common {

namespace {
double pixelsPerTwip() {
    double dpi = 96.0;
    if (QGuiApplication::instance())
        if (QScreen *s = QGuiApplication::primaryScreen()) dpi = s->logicalDotsPerInch();
    if (dpi <= 0) dpi = 96.0;
    return dpi / 1440.0;
}
}  // namespace

int twipsToPixels(double twips) { return int(twips * pixelsPerTwip() + 0.5); }

double pixelsToTwips(int pixels) { return pixels / pixelsPerTwip(); }

void name(QWidget *w, const char *n) {
    w->setObjectName(QString::fromLatin1(n));
    w->setAccessibleDescription(QString::fromLatin1(n));
}

void place(QWidget *w, const char *n, int left, int top, int width, int height) {
    name(w, n);
    w->setGeometry(twipsToPixels(left), twipsToPixels(top), twipsToPixels(width),
                   twipsToPixels(height));
}

int listIndex(const QListWidget *list) {
    return list->currentItem() && list->currentItem()->isSelected() ? list->currentRow() : -1;
}

QString listItem(const QListWidget *list, int index) {
    const QListWidgetItem *it = list->item(index);
    return it ? it->text() : QString();
}

void listRemove(QListWidget *list, int index) { delete list->takeItem(index); }

void listReplace(QListWidget *list, int index, const QString &text) {
    if (QListWidgetItem *it = list->item(index)) it->setText(text);
}

void restartTimer(QTimer *timer) { timer->start(); }

void selectPlatform() {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

void setPlaceholder(QAbstractItemView *view, const QString &text) {
    auto *hint = new QLabel(text, view->viewport());
    hint->setObjectName(view->objectName() + QStringLiteral("Placeholder"));
    hint->setAttribute(Qt::WA_TransparentForMouseEvents);
    hint->setEnabled(false);  // drawn grey, like a text box's placeholder
    hint->move(4, 2);
    hint->adjustSize();
    auto update = [view, hint] {
        hint->setVisible(!view->model() || view->model()->rowCount() == 0);
    };
    update();
    if (QAbstractItemModel *m = view->model()) {
        QObject::connect(m, &QAbstractItemModel::rowsInserted, hint, update);
        QObject::connect(m, &QAbstractItemModel::rowsRemoved, hint, update);
        QObject::connect(m, &QAbstractItemModel::modelReset, hint, update);
    }
}

bool captionFits(const QWidget *control) {
    const QSize want = control->sizeHint();
    if (const auto *label = qobject_cast<const QLabel *>(control)) {
        // A wrapping label uses the height it has; a caption must fit on its line.
        if (label->wordWrap() || label->text().contains(QLatin1Char('\n'))) return true;
    } else if (!qobject_cast<const QAbstractButton *>(control)) {
        return true;
    }
    return want.width() <= control->width() && want.height() <= control->height() + 4;
}

double fitCaptions(QWidget *window) {
    double factor = 1.0;
    const QList<QWidget *> children = window->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    for (const QWidget *w : children) {
        if (w->width() <= 0 || w->height() <= 0 || captionFits(w)) continue;
        const QSize want = w->sizeHint();
        factor = std::max({factor, double(want.width()) / w->width(),
                           double(want.height()) / (w->height() + 4)});
    }
    if (factor <= 1.0) return 1.0;
    for (QWidget *w : children) {
        const QRect g = w->geometry();
        w->setGeometry(int(g.x() * factor + 0.5), int(g.y() * factor + 0.5),
                       int(g.width() * factor + 0.5), int(g.height() * factor + 0.5));
    }
    auto scaled = [factor](QSize z) {
        return QSize(int(z.width() * factor + 0.5), int(z.height() * factor + 0.5));
    };
    if (!window->minimumSize().isEmpty()) window->setMinimumSize(scaled(window->minimumSize()));
    if (window->isWindow()) window->resize(scaled(window->size()));
    return factor;
}

}  // namespace common
