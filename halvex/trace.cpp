#include "halvex/trace.h"

#include "halvex/inspect.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>

namespace halvex {

TraceBox::TraceBox(QPlainTextEdit *box) : QObject(box), box_(box), timer_(new QTimer(this)) {
    timer_->setInterval(100);
    timer_->setSingleShot(true);
    connect(timer_, &QTimer::timeout, this, &TraceBox::flush);
}

void TraceBox::append(std::string_view text) {
    // Only the tail can ever be shown: keep at most one repaint's worth waiting.
    if (text.size() >= kPerShow) {
        waiting_.assign(text.substr(text.size() - kPerShow));
    } else {
        if (waiting_.size() + text.size() > 2 * kPerShow)
            waiting_.erase(0, waiting_.size() + text.size() - kPerShow);
        waiting_.append(text);
    }
    if (!timer_->isActive()) timer_->start();
}

void TraceBox::clear() {
    waiting_.clear();
    shown_ = 0;
    box_->clear();
}

void TraceBox::flush() {
    if (waiting_.empty()) return;
    std::string_view tail(waiting_);
    if (tail.size() > kPerShow) tail.remove_prefix(tail.size() - kPerShow);
    const std::string safe = escapecontrols(tail, {.keephigh = true, .keeplineends = true});
    waiting_.clear();

    QScrollBar *bar = box_->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    QTextCursor c(box_->document());
    c.movePosition(QTextCursor::End);
    c.insertText(QString::fromLatin1(safe.data(), qsizetype(safe.size())));
    shown_ += safe.size();
    if (shown_ > kKeep + kPerShow) {
        // Drop the oldest text in one go, back to the kept size.
        const int total = box_->document()->characterCount();
        QTextCursor front(box_->document());
        front.movePosition(QTextCursor::Start);
        front.setPosition(std::max(0, total - int(kKeep)), QTextCursor::KeepAnchor);
        front.removeSelectedText();
        shown_ = kKeep;
    }
    if (atEnd) bar->setValue(bar->maximum());
}

}  // namespace halvex
