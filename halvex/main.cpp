// halvex: an upstream-proxy relay that logs and filters web requests.
//   halvex [--start] [--bind ADDR] [--block ENTRY]...
// --start presses "start" once the proxy window has loaded its settings; --block adds an entry to the
// block list as "add" would, so that a server without a display can filter too.
#include "common/startup.h"
#include "halvex/mdiform1.h"
#include "halvex/preproxy.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv) {
    common::prepareProcess();
    QApplication app(argc, argv);
    common::prepareApplication(QStringLiteral("halvex"));

    bool start = false;
    QString bind;
    QStringList blocks;
    const QStringList args = QApplication::arguments();
    for (int k = 1; k < args.size(); ++k) {
        if (args[k] == QLatin1String("--start")) {
            start = true;
        } else if (args[k] == QLatin1String("--bind") && k + 1 < args.size()) {
            bind = args[++k];
        } else if (args[k] == QLatin1String("--block") && k + 1 < args.size()) {
            blocks << args[++k];
        } else {
            std::fprintf(stderr, "halvex: unknown argument %s (usage: halvex [--start] [--bind ADDR] "
                         "[--block ENTRY]...)\n",
                         qPrintable(args[k]));
            return 2;
        }
    }

    halvex::MDIForm1 main;
    main.setBindAddress(bind);
    main.show();
    main.starthttproxyClick();
    if (halvex::PreProxy *p = main.proxyWindow())
        for (const QString &entry : blocks) {
            p->Text2->setText(entry);
            p->addurl->click();
        }
    if (start)
        QTimer::singleShot(0, &main, [&main] {
            if (halvex::PreProxy *p = main.proxyWindow()) p->Command1->click();
        });
    return app.exec();
}
