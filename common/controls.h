// The thin layer between the windows' design values and Qt Widgets: positions in twips, names that
// outside tools can find, and the few control behaviours the programs rely on.
#pragma once

#include <QString>
#include <QWidget>
class QAbstractItemView;
class QListWidget;
class QTimer;

namespace common {

// 15 twips a pixel at 96 dpi, scaled by the screen's logical dpi.
int twipsToPixels(double twips);
double pixelsToTwips(int pixels);

// Gives a control its design name (objectName and accessible description) and places it at its
// design position, in twips, inside its parent.
void place(QWidget *w, const char *name, int left, int top, int width, int height);
// objectName and accessible description only (windows, invisible helpers).
void name(QWidget *w, const char *name);

// A control with a caption or initial text (label, button, check box, text box), made, named and
// placed in one go; `what` becomes the accessible name of a box whose text changes.
template <class W>
W *make(QWidget *parent, const char *name, const char *text, int left, int top, int width,
        int height, const char *what = nullptr) {
    auto *w = new W(QString::fromLatin1(text), parent);
    place(w, name, left, top, width, height);
    if (what) w->setAccessibleName(QString::fromLatin1(what));
    return w;
}

// List box operations with the indices the programs use: -1 means nothing selected.
int listIndex(const QListWidget *list);
QString listItem(const QListWidget *list, int index);
void listRemove(QListWidget *list, int index);
void listReplace(QListWidget *list, int index, const QString &text);

// Turning a timer off and on again starts a new full interval.
void restartTimer(QTimer *timer);

// Selects Qt's offscreen platform when there is no display; call before creating the application.
void selectPlatform();

// The design positions were made for a narrower font than the desktop's: every control of the
// window is moved and sized by one factor, the smallest that lets each caption fit its control,
// so that the layout keeps its shape and no caption is cut. Returns the factor (1: as designed).
double fitCaptions(QWidget *window);
// Whether a control's caption fits its width and height at the current font.
bool captionFits(const QWidget *control);

// A list or trace that says what it holds while it holds nothing (grey, as a text box's
// placeholder).
void setPlaceholder(QAbstractItemView *view, const QString &text);

}  // namespace common
