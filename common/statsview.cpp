#include "common/statsview.h"

#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QTableWidget>
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

QString tallyText(const Tally &t) {
    QStringList parts;
    for (const auto &[name, n] : t.items())
        parts << QStringLiteral("%1 %2").arg(QString::fromStdString(name)).arg(n);
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral(", "));
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

StatsView::StatsView(Source source, QWidget *parent) : QWidget(parent), source_(std::move(source)) {
    setObjectName(QStringLiteral("StatsView"));
    setWindowTitle(QStringLiteral("Connections"));
    totals_ = new QLabel(this);
    totals_->setObjectName(QStringLiteral("totals"));
    totals_->setWordWrap(true);
    plot_ = new ThroughputPlot(this);
    table_ = new QTableWidget(0, int(kColumns.size()), this);
    table_->setObjectName(QStringLiteral("connections"));
    table_->setHorizontalHeaderLabels(kColumns);
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
    const RelayCounts &c = s.counts;
    totals_->setText(QStringLiteral("%1 open (peak %2), %3 accepted. %4: %5. Refused: %6. "
                                    "TLS handshakes: %7 client, %8 server.")
                         .arg(s.connections.size())
                         .arg(c.peak)
                         .arg(c.accepted)
                         .arg(QString::fromStdString(s.handledNoun), tallyText(c.handled),
                              tallyText(c.refused))
                         .arg(c.clientHandshakes)
                         .arg(c.serverHandshakes));
    plot_->setHistory(s.throughput);
    const int rows = int(s.connections.size());
    table_->setUpdatesEnabled(false);
    table_->setRowCount(rows);
    for (int r = 0; r < rows; ++r) {
        const ConnectionRow &row = s.connections[std::size_t(r)];
        const QString cells[] = {QString::number(row.slot),
                                 QString::fromStdString(row.client),
                                 QString::fromStdString(row.target),
                                 QString::fromStdString(row.state),
                                 QString::number(row.fromClient),
                                 QString::number(row.fromServer),
                                 QString::number(row.ageMs / 1000),
                                 QString::fromStdString(row.tls)};
        for (int k = 0; k < int(std::size(cells)); ++k) {
            QTableWidgetItem *item = table_->item(r, k);
            if (!item) table_->setItem(r, k, new QTableWidgetItem(cells[k]));
            else if (item->text() != cells[k]) item->setText(cells[k]);
        }
    }
    table_->setUpdatesEnabled(true);
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
