// The trace box: rows from a stream of trace text, line ends and long lines, copying, the bound on
// rows, text left out under a flood, and following its end.
#include "common/tracebox.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QScrollBar>
#include <QtTest>

#include <string>

using common::TraceBox;

class TraceBoxTest : public QObject {
    Q_OBJECT
private slots:
    // A trace box shows its text as lines: each line end (CR LF, LF or CR) opens a row, text goes
    // on in the open line across repaints, a line wider than a row goes on in the next row and is
    // copied back whole, control bytes show escaped, and only the newest rows stay.
    void traceBoxRows() {
        TraceBox box;
        box.append("one\r\ntwo\nthree\rfo");
        box.flush();
        box.append("ur\r\n");
        box.flush();
        QCOMPARE(box.toPlainText(), QStringLiteral("one\ntwo\nthree\nfour\n"));
        QCOMPARE(box.count(), 5);

        box.clear();
        const qsizetype row = TraceBox::kRowChars;
        const std::string wide(size_t(row * 2 + 10), 'w');
        box.append("ab");
        box.flush();
        box.append(wide + "\x01\n");
        box.flush();
        const QString whole = "ab" + QString(row * 2 + 10, u'w') + "\\x01";
        QCOMPARE(box.toPlainText(), whole + "\n");
        QCOMPARE(box.count(), 4);
        QCOMPARE(box.text(0).size(), row);
        QCOMPARE(box.text(1).size(), row);
        QVERIFY(!box.continues(0) && box.continues(1) && box.continues(2) && !box.continues(3));
        box.setFocus();
        box.selectionModel()->select(
            QItemSelection(box.model()->index(0, 0), box.model()->index(2, 0)),
            QItemSelectionModel::Select);
        QTest::keySequence(&box, QKeySequence::Copy);
        QCOMPARE(QGuiApplication::clipboard()->text(), whole);
        box.clearSelection();
        QTest::keySequence(&box, QKeySequence::Copy);
        QCOMPARE(QGuiApplication::clipboard()->text(), whole);

        box.clear();
        std::string many;
        const int lines = TraceBox::kRows + 10;
        for (int k = 0; k < lines; ++k) many += "L" + std::to_string(k) + "\n";
        box.append(many);
        box.flush();
        QCOMPARE(box.count(), TraceBox::kRows);
        QCOMPARE(box.text(0), QStringLiteral("L11"));
        QCOMPARE(box.text(box.count() - 2), QStringLiteral("L%1").arg(lines - 1));
        box.append("tail");
        box.flush();
        QCOMPARE(box.text(box.count() - 1), QStringLiteral("tail"));
        QCOMPARE(box.text(0), QStringLiteral("L11"));

        // More than one repaint shows: a sample of the newest text, after a row that says how
        // much was left out.
        box.clear();
        box.append("open");
        box.flush();
        const std::string flood(TraceBox::kPerShow, 'f');
        for (int k = 0; k < 3; ++k) box.append(flood);
        box.append("\nend");
        box.flush();
        const size_t shown = TraceBox::kFloodShow;
        const size_t left = 3 * flood.size() + 4 - shown;
        QCOMPARE(box.text(1), QStringLiteral("[%1 bytes not shown]").arg(left));
        QCOMPARE(box.toPlainText(), QStringLiteral("open\n[%1 bytes not shown]\n").arg(left) +
                                        QString(qsizetype(shown - 4), u'f') + "\nend");
    }

    // A trace box at its end stays there as rows come in; one the user has scrolled back stays
    // where it is.
    void traceBoxFollowsItsEndUnlessScrolledBack() {
        TraceBox box;
        box.resize(300, 120);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        auto fill = [&](int from) {
            std::string lines;
            for (int k = from; k < from + 50; ++k) lines += "row " + std::to_string(k) + "\n";
            box.append(lines);
            box.flush();
            QCoreApplication::processEvents();
        };
        QScrollBar *bar = box.verticalScrollBar();
        fill(0);
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum());
        fill(50);
        QCOMPARE(bar->value(), bar->maximum());
        bar->setValue(3);
        fill(100);
        QCOMPARE(bar->value(), 3);
    }

};

QTEST_MAIN(TraceBoxTest)
#include "common_tracebox.moc"
