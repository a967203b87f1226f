// A read-only list of text lines that keeps only the newest ones, for logs that grow with every
// request. A text box or a list with an item per line would lay itself out and shape its text again
// for every addition, and on a busy relay that was most of the process's time. Here the lines sit
// in a ring of strings: while it fills, new lines are new rows; once full, the rows stay and their
// texts move up, so an addition costs a repaint of the visible rows, and plain rows are drawn
// without shaping their text.
#pragma once

#include <QListView>
#include <QStringList>

#include <vector>

namespace common {

class LineModel;

class LineView : public QListView {
    Q_OBJECT
public:
    LineView(int keep, QWidget *parent = nullptr);

    // What the view shows.
    int count() const;
    QString text(int row) const;
    // Whether a row goes on from the one before it (a line too long for one row).
    bool continues(int row) const;
    // The lines as one text: rows joined by line ends, except where a row goes on from the one
    // before it.
    QString toPlainText() const;
    void clear();

protected:
    // Adds rows, with whether each goes on from the row before it (none when empty). Once the
    // ring is full the oldest rows make way.
    void addRows(const QStringList &rows, const std::vector<bool> &continued = {});
    // The newest row with more text on its end.
    void extendLast(const QString &more);
    // Rows are this many characters wide for the horizontal scroll range (0: the first row's width).
    void setRowChars(int chars);
    // Copies the selected rows.
    void keyPressEvent(QKeyEvent *event) override;

    // The given rows (in order) as one text, joined as toPlainText() joins them.
    QString joined(const QList<int> &rows) const;

    LineModel *model_;
    bool followEnd_ = false;  // a view at its end stays there as rows come in
};

}  // namespace common
