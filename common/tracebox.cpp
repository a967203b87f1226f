#include "common/tracebox.h"

#include "common/tracetext.h"

namespace common {

TraceBox::TraceBox(QWidget *parent) : LineView(kRows, parent) {
    followEnd_ = true;
    setRowChars(int(kRowChars));
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    timer_.setInterval(100);
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &TraceBox::flush);
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
    arrived_ += text.size();
    if (!timer_.isActive()) timer_.start();
}

void TraceBox::clear() {
    waiting_.clear();
    arrived_ = 0;
    LineView::clear();
}

void TraceBox::flush() {
    if (waiting_.empty()) return;
    // When more came than one repaint shows, the box can only show samples of the stream: a
    // smaller one then does as well and keeps the repaint short.
    const size_t show = arrived_ > kPerShow ? kFloodShow : kPerShow;
    std::string_view tail(waiting_);
    if (tail.size() > show) tail.remove_prefix(tail.size() - show);
    std::string safe = escapecontrols(tail, {.keephigh = true, .keeplineends = true});
    if (arrived_ > tail.size()) {
        // Text was left out: a row says so, so that the rows around it are not read as one stream.
        const bool lineOpen = count() > 0 && !text(count() - 1).isEmpty();
        safe.insert(0, (lineOpen ? "\n[" : "[") + std::to_string(arrived_ - tail.size()) +
                           " bytes not shown]\n");
    }
    waiting_.clear();
    arrived_ = 0;
    const std::string_view in(safe);

    // The newest row is the line still open: the text goes on there. Each line end (CR LF, LF or
    // CR) opens a new row; a full row goes on in the next.
    QStringList rows;
    std::vector<bool> continued;
    QString row;
    bool extending = count() > 0;
    qsizetype used = extending ? text(count() - 1).size() : 0;
    bool goesOn = false;
    auto endRow = [&](bool nextGoesOn) {
        if (extending) {
            if (!row.isEmpty()) extendLast(row);
            extending = false;
        } else {
            rows << std::move(row);
            continued.push_back(goesOn);
        }
        row = QString();
        used = 0;
        goesOn = nextGoesOn;
    };
    const size_t n = in.size();
    size_t k = 0;
    while (k < n) {
        size_t end = k;
        while (end < n && in[end] != '\n' && in[end] != '\r') ++end;
        while (k < end) {
            if (used == kRowChars) endRow(true);
            const size_t take = std::min(end - k, size_t(kRowChars - used));
            row.append(QLatin1String(in.data() + k, qsizetype(take)));
            used += qsizetype(take);
            k += take;
        }
        if (end < n) {
            if (in[end] == '\r' && end + 1 < n && in[end + 1] == '\n') ++end;
            endRow(false);
            k = end + 1;
        }
    }
    if (extending) {
        if (!row.isEmpty()) extendLast(row);
    } else {
        rows << row;
        continued.push_back(goesOn);
    }
    addRows(rows, continued);
}

}  // namespace common
