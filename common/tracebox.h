// A trace box: takes a stream of trace text without slowing the relay down. Appends are collected
// in a bounded tail and shown at most ten times a second; the box keeps the newest rows only.
// Control bytes are shown escaped, so relayed data can never act on the display, and a line
// longer than a row goes on in the next.
#pragma once

#include <QTimer>

#include <string>
#include <string_view>

#include "common/lineview.h"

namespace common {

class TraceBox : public LineView {
    Q_OBJECT
public:
    explicit TraceBox(QWidget *parent = nullptr);

    void append(std::string_view text);
    void clear();
    // Shows what is waiting now (tests; the timer does it otherwise).
    void flush();

    static constexpr int kRows = 4096;             // what the box keeps
    static constexpr qsizetype kRowChars = 256;    // the width of a row
    static constexpr size_t kPerShow = 64 * 1024;  // what one repaint adds at most
    static constexpr size_t kFloodShow = 16 * 1024;  // ... when more than that came

private:
    QTimer timer_;
    std::string waiting_;
    size_t arrived_ = 0;  // since the last repaint
};

}  // namespace common
