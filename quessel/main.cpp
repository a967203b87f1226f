#include <QApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "common/controls.h"
#include "quessel/module1.h"
#include "quessel/options.h"

int main(int argc, char *argv[]) {
    // The arguments are checked before the window system starts, so a mistake gets one clear line.
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    std::optional<quessel::Options> options = quessel::parseOptions(args, &error);
    if (!options) {
        std::fprintf(stderr, "quessel: %s (see --help)\n", error.c_str());
        return 2;
    }
    if (options->help) {
        std::fputs(quessel::kUsage, stdout);
        return 0;
    }

    common::selectPlatform();
    // Qt's own event dispatcher: the glib one writes its wake-up descriptor for nearly every posted
    // event, which costs a proxy session about twenty system calls more.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quessel"));
    common::applyDesignFont();
    quessel::Module1::Main(*options);
    return app.exec();
}
