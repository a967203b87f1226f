#include "halvex/urllist.h"

#include <algorithm>

namespace halvex {

UrlList::UrlList(int keep, QWidget *parent) : common::LineView(keep, parent), keep_(std::max(keep, 1)) {
    timer_.setSingleShot(true);
    timer_.setInterval(250);
    connect(&timer_, &QTimer::timeout, this, &UrlList::flush);
    connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex &index) {
        if (index.isValid()) emit entryDoubleClicked(text(index.row()));
    });
}

void UrlList::append(const QString &entry) {
    if (waiting_.size() >= keep_) waiting_.removeFirst();
    waiting_.append(entry);
    if (!timer_.isActive()) timer_.start();
}

void UrlList::flush() {
    if (waiting_.isEmpty()) return;
    addRows(waiting_);  // no more than keep_ are ever waiting
    waiting_.clear();
}

}  // namespace halvex
