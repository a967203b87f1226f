#include "common/controls.h"

#include <QApplication>
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

void applyDesignFont() {
    // The design positions were made for an 8-point font with narrow glyphs; DejaVu Sans, the usual
    // font here, is wider, so it is set a little smaller to keep every caption inside its box.
    QFont f = QApplication::font();
    f.setPointSizeF(7.0);
    QApplication::setFont(f);
}

}  // namespace common
