#include "halvex/trace.h"

#include "halvex/inspect.h"

#include <QGlyphRun>
#include <QListWidget>
#include <QPainter>
#include <QPlainTextEdit>
#include <QRawFont>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTextCursor>
#include <QTimer>

namespace halvex {

namespace {

// Draws a plain row (not selected, not current) as a run of glyphs looked up one character at a
// time: the log shows ASCII text, which needs no shaping, and shaping ten rows at every repaint
// cost more than the rest of a busy relay's window put together. Anything else, and text with a
// character the font lacks, is drawn the usual way.
class PlainRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override {
        if (!(option.state & (QStyle::State_Selected | QStyle::State_HasFocus)) &&
            drawPlain(painter, option, index.data().toString()))
            return;
        QStyledItemDelegate::paint(painter, option, index);
    }

private:
    bool drawPlain(QPainter *painter, const QStyleOptionViewItem &option, const QString &text) const {
        if (!raw_.isValid() || font_ != option.font) {
            font_ = option.font;
            raw_ = QRawFont::fromFont(font_);
            if (!raw_.isValid()) return false;
        }
        QList<quint32> glyphs = raw_.glyphIndexesForString(text);
        if (glyphs.contains(0u)) return false;
        QList<QPointF> at = raw_.advancesForGlyphIndexes(glyphs);
        const QWidget *view = option.widget;
        const int margin = (view ? view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view)
                                 : 2) + 1;
        const QRect r = option.rect.adjusted(margin, 0, -margin, 0);
        qreal x = r.left();
        const qreal baseline = r.top() + (r.height() + raw_.ascent() - raw_.descent()) / 2;
        qsizetype shown = 0;
        for (; shown < at.size() && x < r.right(); ++shown) {
            const qreal advance = at[shown].x();
            at[shown] = QPointF(x, baseline);
            x += advance;
        }
        glyphs.resize(shown);
        at.resize(shown);
        QGlyphRun run;
        run.setRawFont(raw_);
        run.setGlyphIndexes(glyphs);
        run.setPositions(at);
        painter->save();
        painter->setClipRect(r, Qt::IntersectClip);
        painter->setPen(option.palette.color(option.state & QStyle::State_Enabled ? QPalette::Normal
                                                                                  : QPalette::Disabled,
                                             QPalette::Text));
        painter->drawGlyphRun(QPointF(0, 0), run);
        painter->restore();
        return true;
    }

    mutable QFont font_;
    mutable QRawFont raw_;
};

}  // namespace

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

UrlLog::UrlLog(QListWidget *list, int keep) : list_(list), keep_(keep) {
    list_->setItemDelegate(new PlainRowDelegate(list_));
    // A full layout goes over every row; in steps of a hundred it never holds up the relay.
    list_->setLayoutMode(QListView::Batched);
    list_->setBatchSize(100);
}

void UrlLog::append(const QString &entry) {
    if (waiting_.size() >= keep_) waiting_.removeFirst();
    waiting_.append(entry);
}

void UrlLog::flush() {
    if (waiting_.isEmpty()) return;
    // One removal of the oldest rows and one insertion: the list lays itself out once. No more
    // than keep_ are ever waiting, so the rows to drop are all shown ones.
    const int excess = int(list_->count() + waiting_.size()) - keep_;
    if (excess > 0) list_->model()->removeRows(0, excess);
    list_->addItems(waiting_);
    waiting_.clear();
}

}  // namespace halvex
