#include "common/statsview.h"

#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

namespace common {

namespace {

// "12.3 KB/s": a rate read at a glance.
QString rate(std::int64_t bytes) {
    if (bytes < 1000) return QStringLiteral("%1 B/s").arg(bytes);
    if (bytes < 1000 * 1000) return QStringLiteral("%1 KB/s").arg(double(bytes) / 1e3, 0, 'f', 1);
    return QStringLiteral("%1 MB/s").arg(double(bytes) / 1e6, 0, 'f', 1);
}

const QStringList kColumns{QStringLiteral("Slot"),        QStringLiteral("Client"),
                           QStringLiteral("Target"),      QStringLiteral("State"),
                           QStringLiteral("From client"), QStringLiteral("From server"),
                           QStringLiteral("Age (s)"),     QStringLiteral("TLS")};

}  // namespace

ThroughputPlot::ThroughputPlot(QWidget *parent) : QWidget(parent) {
    setObjectName(QStringLiteral("throughput"));
    setMinimumHeight(100);
    setAccessibleName(QStringLiteral("Throughput, last 10 minutes"));
}

void ThroughputPlot::setHistory(std::vector<Throughput::Second> history) {
    history_ = std::move(history);
    update();
}

void ThroughputPlot::paintEvent(QPaintEvent *) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF area = QRectF(rect()).adjusted(1, 16, -1, -1);
    p.fillRect(rect(), QColor(0xf8, 0xf8, 0xf8));
    p.setPen(QColor(0xcc, 0xcc, 0xcc));
    p.drawRect(area);
    std::int64_t top = 1;
    for (const Throughput::Second &s : history_) top = std::max({top, s.fromClient, s.fromServer});
    const std::size_t n = history_.size();
    auto curve = [&](bool fromClient) {
        QPainterPath path;
        for (std::size_t i = 0; i < n; ++i) {
            const std::int64_t v = fromClient ? history_[i].fromClient : history_[i].fromServer;
            const QPointF at(area.left() + area.width() * double(i) / double(std::max<std::size_t>(1, n - 1)),
                             area.bottom() - area.height() * double(v) / double(top));
            if (i == 0) path.moveTo(at);
            else path.lineTo(at);
        }
        return path;
    };
    p.setPen(QPen(QColor(0x15, 0x65, 0xc0), 1.5));
    p.drawPath(curve(false));
    p.setPen(QPen(QColor(0xe6, 0x51, 0x00), 1.5));
    p.drawPath(curve(true));
    const std::int64_t nowDown = n ? history_.back().fromServer : 0, nowUp = n ? history_.back().fromClient : 0;
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(QRectF(rect()).adjusted(4, 0, -4, 0), Qt::AlignLeft | Qt::AlignTop,
               QStringLiteral("from servers %1, from clients %2 (top %3)")
                   .arg(rate(nowDown), rate(nowUp), rate(top)));
}

void ConnectionsModel::setRows(std::vector<ConnectionRow> rows) {
    const int before = int(rows_.size()), after = int(rows.size());
    if (after > before) beginInsertRows({}, before, after - 1);
    else if (after < before) beginRemoveRows({}, after, before - 1);
    rows_ = std::move(rows);
    if (after > before) endInsertRows();
    else if (after < before) endRemoveRows();
    if (after > 0) emit dataChanged(index(0, 0), index(after - 1, columnCount() - 1));
}

int ConnectionsModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : int(rows_.size());
}

int ConnectionsModel::columnCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : int(kColumns.size());
}

QVariant ConnectionsModel::data(const QModelIndex &index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || std::size_t(index.row()) >= rows_.size()) return {};
    const ConnectionRow &r = rows_[std::size_t(index.row())];
    switch (index.column()) {
        case 0: return r.slot;
        case 1: return QString::fromStdString(r.client);
        case 2: return QString::fromStdString(r.target);
        case 3: return QString::fromStdString(r.state);
        case 4: return qlonglong(r.fromClient);
        case 5: return qlonglong(r.fromServer);
        case 6: return qlonglong(r.ageMs / 1000);
        case 7: return QString::fromStdString(r.tls);
    }
    return {};
}

QVariant ConnectionsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 || section >= kColumns.size())
        return {};
    return kColumns[section];
}

StatsView::StatsView(Source source, QWidget *parent) : QWidget(parent), source_(std::move(source)) {
    setObjectName(QStringLiteral("StatsView"));
    setWindowTitle(QStringLiteral("Connections"));
    totals_ = new QLabel(this);
    totals_->setObjectName(QStringLiteral("totals"));
    totals_->setWordWrap(true);
    plot_ = new ThroughputPlot(this);
    table_ = new QTableView(this);
    table_->setObjectName(QStringLiteral("connections"));
    table_->setModel(&model_);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setStretchLastSection(true);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(totals_);
    layout->addWidget(plot_, 1);
    layout->addWidget(table_, 2);
    timer_.setInterval(kRefreshMs);
    connect(&timer_, &QTimer::timeout, this, &StatsView::refresh);
    resize(640, 480);
}

void StatsView::refresh() {
    if (!source_) return;
    const RelaySnapshot s = source_();
    totals_->setText(QString::fromStdString(totalsText(s)));
    plot_->setHistory(s.throughput);
    model_.setRows(s.connections);
}

void StatsView::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    refresh();
    timer_.start();
}

void StatsView::hideEvent(QHideEvent *event) {
    timer_.stop();
    QWidget::hideEvent(event);
}

}  // namespace common
