// The URL log: one row per request, only the newest kept. New entries wait in a plain queue of
// strings and go in together four times a second.
#pragma once

#include <QStringList>
#include <QTimer>

#include "common/lineview.h"

namespace halvex {

class UrlList : public common::LineView {
    Q_OBJECT
public:
    UrlList(int keep, QWidget *parent = nullptr);

    // Queues an entry; it shows within a quarter of a second.
    void append(const QString &entry);
    // Shows what is queued now, dropping the oldest entries beyond the bound.
    void flush();

signals:
    void entryDoubleClicked(const QString &entry);

private:
    QStringList waiting_;
    int keep_;
    QTimer timer_;
};

}  // namespace halvex
