// A multi-line text box that takes a stream of trace text without slowing the relay down: appends are
// collected in a bounded tail and shown at most ten times a second, and the box keeps only the last
// 256 KiB. Control bytes are shown escaped, so relayed data can never act on the display.
#pragma once

#include <QObject>

#include <string>
#include <string_view>

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

}  // namespace halvex
