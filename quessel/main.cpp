#include <QApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/options.h"
#include "common/registry.h"
#include "common/startup.h"
#include "quessel/module1.h"
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
    common::prepareProcess();
    QApplication app(argc, argv);
    common::prepareApplication(QStringLiteral("quessel"));
    quessel::Module1::Main(*options);
    return app.exec();
}
