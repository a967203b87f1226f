#include <QApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/options.h"
#include "common/registry.h"
#include "common/signals.h"
#include "common/startup.h"
#include "quessel/frmmain.h"
#include "quessel/module1.h"
#include "quessel/sessionwindow.h"
#include "quessel/options.h"

int main(int argc, char *argv[]) {
    // The arguments are checked before the window system starts, so a mistake gets one clear line:
    // a wrong command line ends with status 2, a wrong stored setting with 1.
    std::vector<std::string> args(argv + 1, argv + argc);
    const common::Result<quessel::Options> given = quessel::parseOptions(args);
    if (!given) {
        std::fprintf(stderr, "quessel: %s (see --help)\n", given.why().c_str());
        return 2;
    }
    if (given->help || given->version) {
        std::fputs(given->help ? quessel::usage().c_str() : common::versionText("quessel").c_str(),
                   stdout);
        return 0;
    }
    const common::Result<quessel::Options> options =
        quessel::parseOptions(args, common::registryValue);
    if (!options) {
        std::fprintf(stderr, "quessel: %s\n", options.why().c_str());
        return 1;
    }

    common::setLogLevel(options->logLevel);
    common::prepareProcess("quessel");
    QApplication app(argc, argv);
    common::prepareApplication(QStringLiteral("quessel"));
    quessel::FrmMain *window = quessel::Module1::Main(*options);
    // Without a display nobody sees the status bar: a listener that cannot be had ends the
    // program, so that a service manager sees the failure (the reason is on stderr already).
    if (common::headless() && !(window->session() && window->session()->listening())) return 1;

    common::SignalWatcher watcher;
    QObject::connect(&watcher, &common::SignalWatcher::stop, &app, [] {
        if (quessel::Module1::fMainForm) quessel::Module1::fMainForm->close();
        QCoreApplication::quit();
    });
    QObject::connect(&watcher, &common::SignalWatcher::reload, &app, [args] {
        // Open sessions go on; the new settings hold for the next ones.
        const common::Result<quessel::Options> again =
            quessel::parseOptions(args, common::registryValue);
        if (!again) {
            common::LogLine(common::LogLevel::error, "reload")
                .field("outcome", "kept the settings")
                .field("reason", again.why());
            return;
        }
        common::setLogLevel(again->logLevel);
        if (quessel::Module1::fMainForm)
            if (quessel::SessionWindow *w = quessel::Module1::fMainForm->session()) w->apply(*again);
        common::LogLine(common::LogLevel::info, "reload").field("outcome", "ok");
    });
    return app.exec();
}
