#include "halvex/urllist.h"

#include <QAbstractListModel>
#include <QGlyphRun>
#include <QPainter>
#include <QRawFont>
#include <QStyledItemDelegate>

#include <algorithm>
#include <vector>

namespace halvex {

// The shown entries, oldest first, in a ring of at most keep rows. While the ring fills, new entries
// are new rows; once it is full, the rows stay and their texts move up: the view then only
// repaints, where removing and inserting rows would make it lay out every row again.
// index() is answered directly: a layout asks for every row's index, and the base class's checks
// cost three virtual calls a row.
class UrlModel : public QAbstractListModel {
public:
    UrlModel(int keep, QObject *parent) : QAbstractListModel(parent), keep_(size_t(keep)) {}

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
    const QString &at(int row) const { return ring_[(oldest_ + size_t(row)) % ring_.size()]; }

    // Takes at most keep entries.
    void add(const QStringList &entries) {
        qsizetype next = 0;
        const size_t room = keep_ - ring_.size();
        if (room > 0 && !entries.isEmpty()) {
            const qsizetype grow = std::min(entries.size(), qsizetype(room));
            const int first = int(ring_.size());
            beginInsertRows({}, first, first + int(grow) - 1);
            ring_.insert(ring_.end(), entries.begin(), entries.begin() + grow);
            endInsertRows();
            next = grow;
        }
        if (next == entries.size()) return;
        for (; next < entries.size(); ++next) {
            ring_[oldest_] = entries[next];
            oldest_ = (oldest_ + 1) % ring_.size();
        }
        emit dataChanged(index(0), index(rowCount() - 1), {Qt::DisplayRole});
    }

private:
    std::vector<QString> ring_;
    size_t oldest_ = 0;  // where row 0 is in the ring
    size_t keep_;
};

namespace {

// Draws a plain row (not selected, not current) as a run of glyphs looked up one character at a
// time: the log shows ASCII text, which needs no shaping, and shaping the visible rows at every
// repaint cost more than the rest of the window. Anything else, and text with a character the font
// lacks, is drawn the usual way.
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
        const int margin =
            (view ? view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) : 2) + 1;
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

UrlList::UrlList(int keep, QWidget *parent)
    : QListView(parent), model_(new UrlModel(std::max(keep, 1), this)), keep_(std::max(keep, 1)) {
    setModel(model_);
    setUniformItemSizes(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setItemDelegate(new PlainRowDelegate(this));
    // A full layout goes over every row; in steps it never holds up the relay for long.
    setLayoutMode(QListView::Batched);
    setBatchSize(500);
    timer_.setSingleShot(true);
    timer_.setInterval(250);
    connect(&timer_, &QTimer::timeout, this, &UrlList::flush);
    connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex &index) {
        if (index.isValid()) emit entryDoubleClicked(model_->at(index.row()));
    });
}

void UrlList::append(const QString &entry) {
    if (waiting_.size() >= keep_) waiting_.removeFirst();
    waiting_.append(entry);
    if (!timer_.isActive()) timer_.start();
}

void UrlList::flush() {
    if (waiting_.isEmpty()) return;
    model_->add(waiting_);  // no more than keep_ are ever waiting
    waiting_.clear();
}

int UrlList::count() const {
    return model_->rowCount();
}

QString UrlList::text(int row) const {
    return row >= 0 && row < count() ? model_->at(row) : QString();
}

}  // namespace halvex
