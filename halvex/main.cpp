// halvex: the office's web proxy, which logs and filters requests and responses.
//   halvex [--config FILE] [--check-config] [--start] [--port N] [--upstream HOST:PORT|none]
//          [--bind ADDR] [--block ENTRY]... [--block-file FILE]... [switches] [lists] [limits]
// --start presses "start" once the proxy window has loaded its settings; --block adds an entry to the
// block list as "add" would, so that a server without a display can filter too.
#include "common/asciitext.h"
#include "common/program.h"
#include "common/registry.h"
#include "common/startup.h"
#include "common/tls.h"
#include "halvex/authority.h"
#include "halvex/mdiform1.h"
#include "halvex/options.h"
#include "halvex/preproxy.h"

#include <QFile>
#include <QTimer>

int main(int argc, char **argv) {
    common::Program program("halvex", argc, argv);
    program.setStoredNames(halvex::storedNames());
    int status = common::exitOk;
    const std::optional<halvex::Options> options =
        program.options<halvex::Options>(halvex::parseOptions, halvex::usage, &status);
    if (!options) return status;
    if (!options->makeCa.empty()) return halvex::makeAuthority(options->makeCa);
    if (options->checkConfig) {
        // What a start would find besides the values: the block files it imports.
        std::vector<std::string> problems;
        for (const std::string &file : options->blockFiles) {
            QFile f(QString::fromStdString(file));
            if (!f.open(QIODevice::ReadOnly))
                problems.push_back("--block-file: cannot read " + file + ": " + f.errorString().toStdString());
        }
        if (!options->caCert.empty()) {
            if (auto mint = common::TlsMint::load(options->caCert, options->caKey); !mint)
                problems.push_back("--ca-cert: " + mint.why());
        }
        if (options->start && !options->port &&
            common::trimBlanks(common::registryValue("plistenport")).empty())
            problems.push_back("no listen port to start with: plistenport or --port");
        return program.checkDone(problems);
    }
    program.start();

    halvex::MDIForm1 main;
    main.setOptions(*options);
    main.show();
    main.starthttproxyClick();
    if (halvex::PreProxy *p = main.proxyWindow()) {
        p->useCommandLine(*options);
        for (const std::string &entry : options->block)
            p->addBlockEntry(QString::fromStdString(entry));
        for (const std::string &file : options->blockFiles) {
            QString why;
            if (!p->importBlockList(QString::fromStdString(file), &why)) {
                program.say("--block-file: " + why.toStdString());
                return common::exitUsage;
            }
        }
    }
    if (options->start)
        QTimer::singleShot(0, &main, [&main, &program] {
            halvex::PreProxy *p = main.proxyWindow();
            if (p) p->pressStart();
            // Without a display nobody sees the status bar: a proxy that cannot listen ends, so
            // that a service manager sees the failure (the reason is on stderr already).
            if (common::headless() && !(p && p->running())) {
                QCoreApplication::exit(common::exitFailed);
                return;
            }
            if (p && p->running())
                program.ready([&main] {
                    halvex::PreProxy *w = main.proxyWindow();
                    return w ? w->figures() : common::ServiceFigures{};
                });
        });

    program.onStop([&main] {
        // As "Exit": every connection closed, the window's geometry saved.
        main.close();
        QCoreApplication::quit();
    });
    program.onReload<halvex::Options>(halvex::parseOptions, [&main](const halvex::Options &again) {
        main.setOptions(again);
        // Open connections go on; the rest holds for what comes next.
        halvex::PreProxy *p = main.proxyWindow();
        if (!p) return common::ReloadOutcome{};
        common::ReloadOutcome outcome = p->reload(again);
        for (const std::string &file : again.blockFiles) {
            QString why;
            if (!p->importBlockList(QString::fromStdString(file), &why))
                outcome.keep("--block-file " + file, why.toStdString());
        }
        return outcome;
    });
    return program.exec();
}
