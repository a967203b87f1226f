// The URL log: a list box with one entry per request that keeps only the newest entries.
//
// A list that took a row per request would lay itself out and repaint for every request, and on a
// busy relay that was most of the process's time. Here new entries wait and go in together four
// times a second, from a plain queue of strings: no item objects, no per-row signals. The list
// lays itself out in small steps between other events, and plain rows are drawn without shaping
// their text again each time.
#pragma once

#include <QListView>
#include <QStringList>
#include <QTimer>

namespace halvex {

class UrlModel;

class UrlList : public QListView {
    Q_OBJECT
public:
    UrlList(int keep, QWidget *parent = nullptr);

    // Queues an entry; it shows within a quarter of a second.
    void append(const QString &entry);
    // Shows what is queued now, dropping the oldest entries beyond the bound.
    void flush();

    // What the list shows.
    int count() const;
    QString text(int row) const;

signals:
    void entryDoubleClicked(const QString &entry);

private:
    UrlModel *model_;
    QStringList waiting_;
    int keep_;
    QTimer timer_;
};

}  // namespace halvex
