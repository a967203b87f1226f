// Boxes that take a stream of entries without slowing the relay down: appends are collected and
// shown at most ten times a second.
//
// TraceBox: a multi-line text box that keeps only the last 256 KiB. Control bytes are shown
// escaped, so relayed data can never act on the display.
// UrlLog: a list box with one entry per request that keeps only the newest entries. A list that
// took one row per request would lay itself out and repaint for every request; here the entries
// wait for the owner's next repaint and go in together, the list lays itself out in small steps
// between other events, and plain rows are drawn without shaping their text again each time.
#pragma once

#include <QObject>
#include <QStringList>

#include <string>
#include <string_view>

class QListWidget;
class QPlainTextEdit;
class QTimer;

namespace halvex {

class TraceBox : public QObject {
    Q_OBJECT
public:
    explicit TraceBox(QPlainTextEdit *box);

    void append(std::string_view text);
    void clear();
    // Shows what is waiting now (tests; the timer does it otherwise).
    void flush();

    static constexpr size_t kKeep = 256 * 1024;    // what the box keeps
    static constexpr size_t kPerShow = 64 * 1024;  // what one repaint adds at most

private:
    QPlainTextEdit *box_;
    QTimer *timer_;
    std::string waiting_;
    size_t shown_ = 0;
};

class UrlLog {
public:
    UrlLog(QListWidget *list, int keep);

    void append(const QString &entry);
    // Shows what is waiting; the owner calls it with its other repaints.
    void flush();

private:
    QListWidget *list_;
    QStringList waiting_;
    int keep_;
};

}  // namespace halvex
