// morrent's window at its default size on a real X screen: every control is fully visible.
#include <QTemporaryDir>
#include <QtTest>

#include "atscreen.h"
#include "morrent/morrentwindow.h"

class MorrentAtScreen : public QObject {
    Q_OBJECT
private slots:
    void everyControlIsVisible() {
        QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        morrent::MorrentWindow w;
        QCOMPARE(w.load(std::string()), morrent::StartMode::window);
        w.show();
        const QStringList cut = atscreen::check(&w, QStringLiteral("morrent"));
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QLatin1String("; "))));
    }
};

QTEST_MAIN(MorrentAtScreen)
#include "morrent_atscreen.moc"
