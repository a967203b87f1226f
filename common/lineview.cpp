#include "common/lineview.h"

#include <QAbstractListModel>
#include <QClipboard>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QRawFont>
#include <QScrollBar>
#include <QStyledItemDelegate>

#include <algorithm>
#include <numeric>
#include <vector>

namespace common {

// The shown rows, oldest first, in a ring of at most keep rows. index() is answered directly: a
// layout asks for every row's index, and the base class's checks cost three virtual calls a row.
class LineModel : public QAbstractListModel {
public:
    LineModel(int keep, QObject *parent) : QAbstractListModel(parent), keep_(size_t(keep)) {}

    int rowCount(const QModelIndex &parent = {}) const override {
        return parent.isValid() ? 0 : int(ring_.size());
    }
    QModelIndex index(int row, int column = 0, const QModelIndex &parent = {}) const override {
        if (parent.isValid() || column != 0 || row < 0 || size_t(row) >= ring_.size()) return {};
        return createIndex(row, 0);
    }
    QVariant data(const QModelIndex &index, int role) const override {
        if (!index.isValid() || size_t(index.row()) >= ring_.size()) return {};
        if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole) return at(index.row());
        return {};
    }
    const QString &at(int row) const { return ring_[slot(row)].text; }
    bool continues(int row) const { return ring_[slot(row)].continued; }

    void add(const QStringList &rows, const std::vector<bool> &continued) {
        auto goesOn = [&](qsizetype k) { return size_t(k) < continued.size() && continued[size_t(k)]; };
        // Only the newest keep rows can stay.
        qsizetype next = std::max<qsizetype>(0, rows.size() - qsizetype(keep_));
        const size_t room = keep_ - ring_.size();
        if (room > 0 && next < rows.size()) {
            const qsizetype grow = std::min(rows.size() - next, qsizetype(room));
            const int first = int(ring_.size());
            beginInsertRows({}, first, first + int(grow) - 1);
            for (const qsizetype end = next + grow; next < end; ++next)
                ring_.push_back({rows[next], goesOn(next)});
            endInsertRows();
        }
        if (next == rows.size()) return;
        for (; next < rows.size(); ++next) {
            ring_[oldest_] = {rows[next], goesOn(next)};
            oldest_ = (oldest_ + 1) % ring_.size();
        }
        emit dataChanged(index(0), index(rowCount() - 1), {Qt::DisplayRole});
    }

    void extendLast(const QString &more) {
        const int last = rowCount() - 1;
        ring_[slot(last)].text += more;
        emit dataChanged(index(last), index(last), {Qt::DisplayRole});
    }

    void clear() {
        beginResetModel();
        ring_.clear();
        oldest_ = 0;
        endResetModel();
    }

private:
    struct Row {
        QString text;
        bool continued = false;
    };
    size_t slot(int row) const { return (oldest_ + size_t(row)) % ring_.size(); }

    std::vector<Row> ring_;
    size_t oldest_ = 0;  // where row 0 is in the ring
    size_t keep_;
};

namespace {

// Draws a plain row (not selected, not current) as a run of glyphs looked up one character at a
// time: the rows are escaped text, which needs no shaping, and shaping the visible rows at every
// repaint cost more than the rest of the window. Anything else, and text with a character the font
// lacks, is drawn the usual way.
class PlainRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    int rowChars = 0;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override {
        if (!(option.state & (QStyle::State_Selected | QStyle::State_HasFocus)) &&
            drawPlain(painter, option, index.data().toString()))
            return;
        QStyledItemDelegate::paint(painter, option, index);
    }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override {
        QSize s = QStyledItemDelegate::sizeHint(option, index);
        if (rowChars > 0) s.setWidth(option.fontMetrics.averageCharWidth() * rowChars + 8);
        return s;
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
        const int margin =
            (view ? view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) : 2) + 1;
        const QRect r = option.rect.adjusted(margin, 0, -margin, 0);
        const qreal baseline = r.top() + (r.height() + raw_.ascent() - raw_.descent()) / 2;
        // Only what falls inside the viewport is drawn: a row scrolled to the left starts
        // outside it, and a wide row ends outside it.
        const qreal left = std::max<qreal>(r.left(), 0);
        const qreal right = std::min<qreal>(r.right(), painter->device()->width());
        qreal x = r.left();
        qsizetype from = 0, to = 0;
        for (; to < at.size() && x < right; ++to) {
            const qreal advance = at[to].x();
            if (x + advance <= left) from = to + 1;
            at[to] = QPointF(x, baseline);
            x += advance;
        }
        QGlyphRun run;
        run.setRawFont(raw_);
        run.setGlyphIndexes(glyphs.mid(from, to - from));
        run.setPositions(at.mid(from, to - from));
        painter->save();
        painter->setClipRect(r, Qt::IntersectClip);
        painter->setPen(option.palette.color(
            option.state & QStyle::State_Enabled ? QPalette::Normal : QPalette::Disabled,
            QPalette::Text));
        painter->drawGlyphRun(QPointF(0, 0), run);
        painter->restore();
        return true;
    }

    mutable QFont font_;
    mutable QRawFont raw_;
};

}  // namespace

LineView::LineView(int keep, QWidget *parent)
    : QListView(parent), model_(new LineModel(std::max(keep, 1), this)) {
    setModel(model_);
    setUniformItemSizes(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setItemDelegate(new PlainRowDelegate(this));
    // A full layout goes over every row; in steps it never holds up the relay for long.
    setLayoutMode(QListView::Batched);
    setBatchSize(500);
}

int LineView::count() const {
    return model_->rowCount();
}

QString LineView::text(int row) const {
    return row >= 0 && row < count() ? model_->at(row) : QString();
}

bool LineView::continues(int row) const {
    return row >= 0 && row < count() && model_->continues(row);
}

QString LineView::joined(const QList<int> &rows) const {
    QString out;
    for (qsizetype k = 0; k < rows.size(); ++k) {
        if (k > 0 && !model_->continues(rows[k])) out += u'\n';
        out += model_->at(rows[k]);
    }
    return out;
}

QString LineView::toPlainText() const {
    QList<int> all(count());
    std::iota(all.begin(), all.end(), 0);
    return joined(all);
}

void LineView::clear() {
    model_->clear();
}

void LineView::addRows(const QStringList &rows, const std::vector<bool> &continued) {
    if (rows.isEmpty()) return;
    QScrollBar *bar = verticalScrollBar();
    const bool atEnd = followEnd_ && bar->value() == bar->maximum();
    model_->add(rows, continued);
    if (atEnd) scrollToBottom();
}

void LineView::extendLast(const QString &more) {
    if (count() == 0)
        addRows({more});
    else
        model_->extendLast(more);
}

void LineView::setRowChars(int chars) {
    static_cast<PlainRowDelegate *>(itemDelegate())->rowChars = chars;
}

void LineView::keyPressEvent(QKeyEvent *event) {
    if (!event->matches(QKeySequence::Copy)) {
        QListView::keyPressEvent(event);
        return;
    }
    QList<int> picked;
    for (const QModelIndex &i : selectionModel()->selectedRows()) picked << i.row();
    if (picked.isEmpty()) return;  // the clipboard keeps what it has
    std::sort(picked.begin(), picked.end());
    QGuiApplication::clipboard()->setText(joined(picked));
}

}  // namespace common
