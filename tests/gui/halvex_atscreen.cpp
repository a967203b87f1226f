// halvex's windows at their default size on a real X screen: every control is fully visible,
// with the traces and with the help text.
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "atscreen.h"
#include "common/registry.h"
#include "halvex/mdiform1.h"
#include "halvex/preproxy.h"

class HalvexAtScreen : public QObject {
    Q_OBJECT
private slots:
    void everyControlIsVisible_data() {
        QTest::addColumn<QString>("debug");
        QTest::newRow("traces") << QString();
        QTest::newRow("help text") << QStringLiteral("0");
    }
    void everyControlIsVisible() {
        QFETCH(QString, debug);
        QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        if (!debug.isEmpty())
            QVERIFY(common::regwrite_sz(QStringLiteral("HKLM\\SOFTWARE\\Tessaruno\\debug"), debug));
        halvex::MDIForm1 main;
        main.show();
        main.starthttproxyClick();
        QVERIFY(main.proxyWindow());
        const QStringList cut =
            atscreen::check(&main, QStringLiteral("halvex-") + QTest::currentDataTag());
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QLatin1String("; "))));
    }
};

QTEST_MAIN(HalvexAtScreen)
#include "halvex_atscreen.moc"
