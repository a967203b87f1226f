// quessel's windows at their default size on a real X screen: every control of the main window
// and of its information window is fully visible.
#include <QTemporaryDir>
#include <QtTest>

#include "atscreen.h"
#include "quessel/frmmain.h"
#include "quessel/options.h"

class QuesselAtScreen : public QObject {
    Q_OBJECT
private slots:
    void everyControlIsVisible() {
        QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        quessel::Options o;
        o.bind = "127.0.0.1";
        o.port = 0;
        quessel::FrmMain f(o);
        f.show();
        const QStringList cut = atscreen::check(&f, QStringLiteral("quessel"));
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QLatin1String("; "))));
    }
};

QTEST_MAIN(QuesselAtScreen)
#include "quessel_atscreen.moc"
