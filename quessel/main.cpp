#include <QApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "common/startup.h"
#include "quessel/module1.h"
#include "quessel/options.h"

int main(int argc, char *argv[]) {
    // The arguments are checked before the window system starts, so a mistake gets one clear line.
    std::vector<std::string> args(argv + 1, argv + argc);
    const common::Result<quessel::Options> options = quessel::parseOptions(args);
    if (!options) {
        std::fprintf(stderr, "quessel: %s (see --help)\n", options.why().c_str());
        return 2;
    }
    if (options->help) {
        std::fputs(quessel::kUsage, stdout);
        return 0;
    }

    common::prepareProcess();
    QApplication app(argc, argv);
    common::prepareApplication(QStringLiteral("quessel"));
    quessel::Module1::Main(*options);
    return app.exec();
}
