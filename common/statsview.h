// The windows' live view of a relay: its connections in a table, its counts in a line, and its
// throughput over the last ten minutes in a plot drawn by the program. It asks for the figures
// twice a second while it is shown, and not at all while it is hidden, whatever the load.
#pragma once

#include <QAbstractTableModel>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <vector>

#include "common/relaystats.h"

class QLabel;
class QTableView;

namespace common {

// Bytes a second each way, newest on the right.
class ThroughputPlot : public QWidget {
    Q_OBJECT
public:
    explicit ThroughputPlot(QWidget *parent = nullptr);
    void setHistory(std::vector<Throughput::Second> history);
    const std::vector<Throughput::Second> &history() const { return history_; }
    QSize sizeHint() const override { return {600, 140}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    std::vector<Throughput::Second> history_;
};

// The connections of one snapshot as a table: the view asks only for the cells it shows, so a
// thousand connections cost no more to show than the rows on the screen.
class ConnectionsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;
    void setRows(std::vector<ConnectionRow> rows);
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    std::vector<ConnectionRow> rows_;
};

class StatsView : public QWidget {
    Q_OBJECT
public:
    using Source = std::function<RelaySnapshot()>;
    static constexpr int kRefreshMs = 500;

    explicit StatsView(Source source, QWidget *parent = nullptr);
    // Shows the figures as they are now.
    void refresh();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    Source source_;
    QLabel *totals_;
    ThroughputPlot *plot_;
    ConnectionsModel model_;
    QTableView *table_;
    QTimer timer_;
};

}  // namespace common
