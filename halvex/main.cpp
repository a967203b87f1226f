// halvex: an upstream-proxy relay that logs and filters web requests.
//   halvex [--start] [--bind ADDR] [--block ENTRY]... [--block-file FILE]... [--allow-clients LIST]
//          [--allow-servers LIST] [limits]
// --start presses "start" once the proxy window has loaded its settings; --block adds an entry to the
// block list as "add" would, so that a server without a display can filter too. A wrong command
// line ends with status 2 and a wrong stored setting with 1, each with one line on stderr.
#include "common/log.h"
#include "common/options.h"
#include "common/registry.h"
#include "common/signals.h"
#include "common/startup.h"
#include "halvex/mdiform1.h"
#include "halvex/options.h"
#include "halvex/preproxy.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char **argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const common::Result<halvex::Options> given = halvex::parseOptions(args);
    if (!given) {
        std::fprintf(stderr, "halvex: %s (see --help)\n", given.why().c_str());
        return 2;
    }
    if (given->help || given->version) {
        std::fputs(given->help ? halvex::usage().c_str() : common::versionText("halvex").c_str(),
                   stdout);
        return 0;
    }
    const common::Result<halvex::Options> options =
        halvex::parseOptions(args, common::registryValue);
    if (!options) {
        std::fprintf(stderr, "halvex: %s\n", options.why().c_str());
        return 1;
    }

    common::setLogLevel(options->logLevel);
    common::prepareProcess("halvex");
    // Qt is given no arguments: the command line is ours.
    int qtargc = 1;
    QApplication app(qtargc, argv);
    common::prepareApplication(QStringLiteral("halvex"));

    halvex::MDIForm1 main;
    main.setOptions(*options);
    main.show();
    main.starthttproxyClick();
    if (halvex::PreProxy *p = main.proxyWindow()) {
        for (const std::string &entry : options->block) {
            p->Text2->setText(QString::fromStdString(entry));
            p->addurl->click();
        }
        for (const std::string &file : options->blockFiles) {
            QString why;
            if (!p->importblocklist(QString::fromStdString(file), &why)) {
                std::fprintf(stderr, "halvex: --block-file: %s\n", why.toLocal8Bit().constData());
                return 2;
            }
        }
    }
    if (options->start)
        QTimer::singleShot(0, &main, [&main] {
            halvex::PreProxy *p = main.proxyWindow();
            if (p) p->Command1->click();
            // Without a display nobody sees the status bar: a proxy that cannot listen ends, so
            // that a service manager sees the failure (the reason is on stderr already).
            if (common::headless() && !(p && p->running())) QCoreApplication::exit(1);
        });

    common::SignalWatcher watcher;
    QObject::connect(&watcher, &common::SignalWatcher::stop, &main, [&main] {
        // As "Exit": every connection closed, the window's geometry saved.
        main.close();
        QCoreApplication::quit();
    });
    QObject::connect(&watcher, &common::SignalWatcher::reload, &main, [&main, args] {
        const common::Result<halvex::Options> again =
            halvex::parseOptions(args, common::registryValue);
        if (!again) {
            common::LogLine(common::LogLevel::error, "reload")
                .field("outcome", "kept the settings")
                .field("reason", again.why());
            return;
        }
        common::setLogLevel(again->logLevel);
        main.setOptions(*again);
        // Open connections go on; the switches and limits hold for what comes next.
        if (halvex::PreProxy *p = main.proxyWindow()) {
            p->reload(*again);
            for (const std::string &file : again->blockFiles) {
                QString why;
                if (!p->importblocklist(QString::fromStdString(file), &why))
                    common::LogLine(common::LogLevel::error, "reload")
                        .field("outcome", "block file left out")
                        .field("reason", why.toStdString());
            }
        }
        common::LogLine(common::LogLevel::info, "reload").field("outcome", "ok");
    });
    return app.exec();
}
